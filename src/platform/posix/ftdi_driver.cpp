// The FTDI driver on Linux is the kernel's ftdi_sio: it is "installed" when
// usb-serial has it registered, and the adapters it serves are the ttys whose
// usb-serial port it drives. A port is named by its tty name, as a COM name is
// on Windows.
//
// A driver object lives for one discovery pass. Its adapters are read from
// sysfs once, at the first look-up, and kept by port name: a pass over n ports
// that each need a look-up then reads the tree twice rather than n times.
#include "platform/ftdi_driver.h"

#include <optional>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/posix/sysfs_tree.h"
#include "platform/posix/utf8_codec.h"
#include "platform/posix/utf8_path.h"

namespace {
constexpr char kFtdiKernelDriver[] = "ftdi_sio";
}

struct FtdiDriver::Binding {
  std::string root;  // the device root the driver was found under
  // Lower-cased tty name -> serial number of the adapter, for the ports that
  // ftdi_sio drives; the first port in name order wins a name.
  std::optional<std::unordered_map<std::u16string, std::u16string>> serialByPort{};
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
  if (!StillUsable(driver)) return false;
  auto& adapters = driver.binding()->serialByPort;
  if (!adapters) {
    adapters.emplace();
    for (const platform::sysfs::UsbTtyPort& port : platform::sysfs::ListUsbTtyPorts(driver.binding()->root)) {
      if (port.driver != kFtdiKernelDriver) continue;
      adapters->try_emplace(platform::WideLowered(platform::Utf16Path(port.name)),
                            platform::utf8::Decode(port.serial.value_or("")));
    }
  }
  const auto found = adapters->find(platform::WideLowered(portName));
  if (found == adapters->end()) return false;
  serial = found->second;
  return true;
}
