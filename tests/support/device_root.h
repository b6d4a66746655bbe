#pragma once
// A temporary folder that stands in for "/" in device discovery
// (VOZI_DEVICE_ROOT), with helpers to present serial ports in it the way the
// Linux kernel does: USB adapters through the simulator's device-tree builder,
// built-in and virtual ttys here.
#include <string>

#include "vozi_sim/device_tree.h"

namespace testing_support {

class DeviceRoot {
 public:
  enum class Storage {
    kTempFolder,  // the temporary folder of the system
    kMemory,      // /dev/shm when there is one: sysfs lives in memory too, and
                  // trees of many ports are built far faster there
  };
  // Makes the folder and points VOZI_DEVICE_ROOT at it (restored afterwards).
  explicit DeviceRoot(Storage storage = Storage::kTempFolder);
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& Path() const { return path_; }

  // A USB adapter; its dev/<name> link points at target. Fails the test (and
  // returns an empty entry) when the tree cannot be built.
  vozisim::UsbSerialPortEntry AddUsb(const vozisim::UsbSerialPortSpec& adapter,
                                     const std::string& target = "/dev/null");
  // An FTDI adapter with this serial number.
  vozisim::UsbSerialPortEntry AddFtdi(const std::string& serial, int interfaceNumber = 0);

  // A built-in UART: sys/devices/platform/serial8250/tty/<name>, whose device
  // link leads to the platform device, not to USB.
  void AddBuiltInPort(const std::string& name);
  // A virtual terminal: a class entry without a device link.
  void AddVirtualTerminal(const std::string& name);
  // Registers a usb-serial driver without any port.
  void AddDriver(const std::string& driver);
  void RemoveDriver(const std::string& driver);

  // Replaces a relative link by an absolute one spelled inside the root
  // ("/sys/..."), or with the root spelled out in full.
  void MakeLinkAbsolute(const std::string& link, bool spellRoot);

 private:
  std::string path_;
  std::string savedRoot_;
  bool hadRoot_ = false;
};

}  // namespace testing_support
