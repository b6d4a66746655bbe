// The FTDI driver on Linux is the kernel's ftdi_sio: it is "installed" when
// usb-serial has it registered, and the adapters it serves are the ttys whose
// usb-serial port it drives. A port is named by its tty name, as a COM name is
// on Windows.
#include "platform/ftdi_driver.h"

#include "platform/codepage.h"
#include "platform/posix/sysfs_tree.h"
#include "platform/posix/utf8_codec.h"

namespace {
constexpr char kFtdiKernelDriver[] = "ftdi_sio";
}

struct FtdiDriver::Binding {
  std::string root;  // the device root the driver was found under
};

FtdiDriver::FtdiDriver() {
  const std::string root = platform::sysfs::DeviceRoot();
  if (!platform::sysfs::UsbSerialDriverPresent(root, kFtdiKernelDriver)) {
    notInstalled = true;
    return;
  }
  binding_ = std::make_unique<Binding>(Binding{root});
}

FtdiDriver::~FtdiDriver() = default;

namespace {

std::u16string Lowered(std::u16string text) {
  text.push_back(u'\0');
  platform::WideLowerInPlace(text.data(), text.size());
  text.pop_back();
  return text;
}

// Unloading the module while a search runs makes the driver unusable, as a
// D2XX library that lost an entry point would be.
bool StillUsable(FtdiDriver& driver) {
  if (driver.Usable() &&
      platform::sysfs::UsbSerialDriverPresent(driver.binding()->root, kFtdiKernelDriver)) {
    return true;
  }
  driver.cannotLoad = true;
  return false;
}

}  // namespace

bool FtdiSerialForPort(FtdiDriver& driver, const std::u16string& portName, std::u16string& serial) {
  if (!driver.Usable() || portName.empty()) return false;
  const std::u16string wanted = Lowered(portName);
  const std::string root = driver.binding()->root;
  if (!StillUsable(driver)) return false;
  // Adapter by adapter, in the order of their ttys.
  for (const platform::sysfs::UsbTtyPort& port : platform::sysfs::ListUsbTtyPorts(root)) {
    if (!StillUsable(driver)) return false;
    if (port.driver != kFtdiKernelDriver) continue;
    if (Lowered(platform::utf8::Decode(port.name)) == wanted) {
      serial = platform::utf8::Decode(port.serial.value_or(""));
      return true;
    }
  }
  return false;
}
