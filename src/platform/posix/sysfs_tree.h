#pragma once
// The USB serial ports of a Linux machine as sysfs shows them:
//
//   /sys/class/tty/<name>            link into /sys/devices
//   /sys/class/tty/<name>/device     the usb-serial port (its "driver" link
//                                    names the driver, e.g. ftdi_sio), whose
//                                    parent is the USB interface; for drivers
//                                    without a usb-serial port (cdc_acm) the
//                                    USB interface itself
//   USB interface                    bInterfaceNumber
//   its parent, the USB device       idVendor idProduct serial manufacturer product
//
// VOZI_DEVICE_ROOT, when set, names a folder that stands in for "/" in these
// look-ups and in the /dev path of a port, so that tests and the simulator can
// present adapters without hardware. Links in such a tree may be relative or
// absolute; an absolute link is taken inside the root (it may also spell the
// root out in full).
#include <optional>
#include <string>
#include <vector>

namespace platform::sysfs {

// VOZI_DEVICE_ROOT without trailing '/', or "" for the real root.
std::string DeviceRoot();

struct UsbTtyPort {
  std::string name;          // ttyUSB0
  std::string driver;        // ftdi_sio, cp210x, cdc_acm; empty when unbound
  std::string vendorId;      // idVendor as sysfs gives it (4 hex digits)
  std::string productId;
  std::optional<std::string> serial;  // absent when the device has none
  std::string manufacturer;
  std::string product;
  unsigned interfaceNumber = 0;
  std::string usbDevice;     // the USB device's kernel name, e.g. 1-3
};

// The ttys of root/sys/class/tty whose device is a USB interface, in name
// order (numbers compared by value, so ttyUSB10 follows ttyUSB9). Entries
// that cannot be read are left out.
std::vector<UsbTtyPort> ListUsbTtyPorts(const std::string& root);

// Whether the kernel's driver of that name is registered with usb-serial.
bool UsbSerialDriverPresent(const std::string& root, const std::string& driver);

// The device instance ID the Windows driver forms for the port:
//   ftdi_sio:  FTDIBUS\VID_0403+PID_6001+<serial><interface letter>\0000
//   others:    USB\VID_xxxx&PID_xxxx\<serial, or the USB device's name>
// An FTDI adapter without a serial number gets FTDIBUS\VID_0403+PID_6001+\0000,
// in which no serial number can be found.
std::u16string InstanceId(const UsbTtyPort& port);

// Name order as ls -v sorts: runs of digits compare by value.
bool NameOrderLess(const std::string& a, const std::string& b);

// The path inside root that `path` (absolute, inside root) leads to once every
// link is followed; nullopt when a part is missing or the links loop.
std::optional<std::string> ResolveUnderRoot(const std::string& root, const std::string& path);

}  // namespace platform::sysfs
