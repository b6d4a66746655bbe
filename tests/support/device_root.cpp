#include "support/device_root.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testing_support {
namespace {
namespace fs = std::filesystem;
}

DeviceRoot::DeviceRoot(Storage storage) {
  std::error_code ec;
  const bool memory = storage == Storage::kMemory && fs::is_directory("/dev/shm", ec) &&
                      ::access("/dev/shm", W_OK) == 0;
  const fs::path base = memory ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string pattern = (base / "vozi-root-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = pattern;
  fs::create_directories(path_ + "/sys/class/tty");
  fs::create_directories(path_ + "/dev");
  const char* old = std::getenv("VOZI_DEVICE_ROOT");
  hadRoot_ = old != nullptr;
  if (old) savedRoot_ = old;
  ::setenv("VOZI_DEVICE_ROOT", path_.c_str(), 1);
}

DeviceRoot::~DeviceRoot() {
  if (hadRoot_) {
    ::setenv("VOZI_DEVICE_ROOT", savedRoot_.c_str(), 1);
  } else {
    ::unsetenv("VOZI_DEVICE_ROOT");
  }
  std::error_code ec;
  fs::remove_all(path_, ec);
}

vozisim::UsbSerialPortEntry DeviceRoot::AddUsb(const vozisim::UsbSerialPortSpec& adapter,
                                               const std::string& target) {
  std::string error;
  auto entry = vozisim::AddUsbSerialPort(path_, adapter, target, &error);
  if (!entry) {
    ADD_FAILURE() << "cannot add port " << adapter.serial << ": " << error;
    return {};
  }
  return *entry;
}

vozisim::UsbSerialPortEntry DeviceRoot::AddFtdi(const std::string& serial, int interfaceNumber) {
  vozisim::UsbSerialPortSpec adapter;
  adapter.serial = serial;
  adapter.interfaceNumber = interfaceNumber;
  return AddUsb(adapter);
}

void DeviceRoot::AddBuiltInPort(const std::string& name) {
  const fs::path platformDevice = fs::path(path_) / "sys/devices/platform/serial8250";
  const fs::path tty = platformDevice / "tty" / name;
  fs::create_directories(tty);
  std::ofstream(tty / "dev") << "4:64\n";
  fs::create_symlink("../../../serial8250", tty / "device");
  fs::create_symlink("../../devices/platform/serial8250/tty/" + name,
                     fs::path(path_) / "sys/class/tty" / name);
  fs::create_symlink("/dev/null", fs::path(path_) / "dev" / name);
}

void DeviceRoot::AddVirtualTerminal(const std::string& name) {
  const fs::path tty = fs::path(path_) / "sys/devices/virtual/tty" / name;
  fs::create_directories(tty);
  std::ofstream(tty / "dev") << "4:0\n";
  fs::create_symlink("../../devices/virtual/tty/" + name, fs::path(path_) / "sys/class/tty" / name);
}

void DeviceRoot::AddDriver(const std::string& driver) {
  fs::create_directories(fs::path(path_) / "sys/bus/usb-serial/drivers" / driver);
}

void DeviceRoot::RemoveDriver(const std::string& driver) {
  fs::remove_all(fs::path(path_) / "sys/bus/usb-serial/drivers" / driver);
}

void DeviceRoot::MakeLinkAbsolute(const std::string& link, bool spellRoot) {
  // The link's target as a path inside the root.
  const fs::path resolved = fs::weakly_canonical(fs::path(link).parent_path() / fs::read_symlink(link));
  const fs::path inside = "/" / resolved.lexically_relative(fs::weakly_canonical(path_));
  fs::remove(link);
  fs::create_symlink(spellRoot ? fs::path(path_ + inside.string()) : inside, link);
}

}  // namespace testing_support
