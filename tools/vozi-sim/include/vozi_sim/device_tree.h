#pragma once
// A fake sysfs and /dev under a root folder, laid out the way the Linux
// kernel presents a USB serial adapter, so that device discovery can find a
// simulated instrument (or any adapter a test wants) without hardware:
//
//   ROOT/sys/devices/pci0000:00/0000:00:14.0/usb1/1-<k>/          USB device
//       idVendor idProduct serial manufacturer product            (text + "\n")
//       1-<k>:1.<i>/                                              USB interface
//           bInterfaceNumber                                      ("%02x\n")
//           ttyUSB<m>/                                            usb-serial port
//               driver -> ROOT/sys/bus/usb-serial/drivers/<driver>
//               tty/ttyUSB<m>/  dev uevent  device -> ../../../ttyUSB<m>
//   ROOT/sys/class/tty/ttyUSB<m> -> .../ttyUSB<m>/tty/ttyUSB<m>
//   ROOT/dev/ttyUSB<m> -> the target (e.g. a pseudo-terminal slave)
//
// Links inside ROOT/sys are relative, as the kernel's are. m and k are the
// first free numbers; several processes may add ports to one tree at the same
// time: each number is claimed by an atomic create, and the class link that
// makes the port visible to a walk of ROOT/sys/class/tty is made last and
// removed first.
#include <optional>
#include <string>

namespace vozisim {

struct UsbSerialPortSpec {
  std::string serial = "ZOR12345A";  // empty: the device has no serial file
  std::string vendorId = "0403";
  std::string productId = "6001";
  std::string manufacturer = "FTDI";
  std::string product = "FT232R USB UART";
  std::string driver = "ftdi_sio";  // empty: no driver link
  int interfaceNumber = 0;
};

struct UsbSerialPortEntry {
  std::string root;
  std::string ttyName;       // "ttyUSB<m>"
  int ttyIndex = -1;         // m
  int usbPort = -1;          // k
  std::string usbDevice;     // ROOT/sys/devices/.../usb1/1-<k>
  std::string portDir;       // .../1-<k>:1.<i>/ttyUSB<m>
  std::string classLink;     // ROOT/sys/class/tty/ttyUSB<m>
  std::string devLink;       // ROOT/dev/ttyUSB<m>
};

// Adds one adapter whose ROOT/dev/ttyUSB<m> points at target. On failure
// returns nullopt, leaves nothing behind and puts the reason in *error.
std::optional<UsbSerialPortEntry> AddUsbSerialPort(const std::string& root,
                                                   const UsbSerialPortSpec& adapter,
                                                   const std::string& target,
                                                   std::string* error = nullptr);

// Removes what AddUsbSerialPort made (the shared folders stay). True when
// everything is gone.
bool RemoveUsbSerialPort(const UsbSerialPortEntry& entry);

}  // namespace vozisim
