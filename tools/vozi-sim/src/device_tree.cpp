#include "vozi_sim/device_tree.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace vozisim {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxNumber = 4096;
// Major number of the kernel's usb-serial ttys.
constexpr int kUsbSerialMajor = 188;

fs::path UsbBus(const fs::path& root) {
  return root / "sys/devices/pci0000:00/0000:00:14.0/usb1";
}

bool WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// Kernel-style relative link from the folder of `link` to `target`.
bool RelativeLink(const fs::path& target, const fs::path& link, std::error_code& ec) {
  fs::create_symlink(target.lexically_relative(link.parent_path()), link, ec);
  return !ec;
}

// The numbers already taken by entries named prefix<number> in a folder. Read
// once per claim, so that claiming in a tree of many ports does not try every
// taken number with a failing create.
std::set<int> TakenNumbers(const fs::path& dir, const std::string& prefix) {
  std::set<int> taken;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    // Only the names the builder makes: plain decimal, no leading zero.
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) continue;
    if (digits.size() > 1 && digits[0] == '0') continue;
    taken.insert(std::stoi(digits));
  }
  return taken;
}

// The first free number, claimed by an atomic create. Another process may
// take a number between the listing and the create: the create then fails
// and the next free one is tried.
template <typename Create>
std::optional<int> ClaimFirstFree(const fs::path& dir, const std::string& prefix, std::error_code& ec,
                                  int first, Create create) {
  const std::set<int> taken = TakenNumbers(dir, prefix);
  for (int n = first; n < kMaxNumber; ++n) {
    if (taken.count(n) != 0) continue;
    if (create(dir / (prefix + std::to_string(n)))) return n;
    if (ec) return std::nullopt;
  }
  ec = std::make_error_code(std::errc::no_space_on_device);
  return std::nullopt;
}

std::optional<int> ClaimTtyIndex(const fs::path& devDir, const std::string& target,
                                 std::error_code& ec) {
  return ClaimFirstFree(devDir, "ttyUSB", ec, 0, [&](const fs::path& link) {
    fs::create_symlink(target, link, ec);
    if (ec == std::errc::file_exists) {
      ec.clear();  // taken meanwhile: try the next
      return false;
    }
    return !ec;
  });
}

std::optional<int> ClaimUsbPort(const fs::path& bus, std::error_code& ec) {
  return ClaimFirstFree(bus, "1-", ec, 1, [&](const fs::path& dir) {
    return fs::create_directory(dir, ec);
  });
}

bool FillUsbDevice(const UsbSerialPortSpec& adapter, UsbSerialPortEntry& e, std::error_code& ec) {
  const fs::path dev = e.usbDevice;
  bool ok = WriteFile(dev / "idVendor", adapter.vendorId + "\n") &&
            WriteFile(dev / "idProduct", adapter.productId + "\n") &&
            WriteFile(dev / "manufacturer", adapter.manufacturer + "\n") &&
            WriteFile(dev / "product", adapter.product + "\n");
  if (ok && !adapter.serial.empty()) ok = WriteFile(dev / "serial", adapter.serial + "\n");
  if (!ok) {
    ec = std::make_error_code(std::errc::io_error);
    return false;
  }
  const std::string usb = "1-" + std::to_string(e.usbPort);
  const fs::path intf = dev / (usb + ":1." + std::to_string(adapter.interfaceNumber));
  fs::create_directory(intf, ec);
  char number[16];
  std::snprintf(number, sizeof number, "%02x\n", adapter.interfaceNumber & 0xFF);
  if (ec || !WriteFile(intf / "bInterfaceNumber", number)) return false;

  const fs::path port = intf / e.ttyName;
  const fs::path tty = port / "tty" / e.ttyName;
  fs::create_directories(tty, ec);
  if (ec) return false;
  e.portDir = port.string();
  if (!adapter.driver.empty()) {
    const fs::path driver = fs::path(e.root) / "sys/bus/usb-serial/drivers" / adapter.driver;
    fs::create_directories(driver, ec);
    if (ec || !RelativeLink(driver, port / "driver", ec)) return false;
  }
  const std::string minor = std::to_string(e.ttyIndex);
  if (!WriteFile(tty / "dev", std::to_string(kUsbSerialMajor) + ":" + minor + "\n") ||
      !WriteFile(tty / "uevent", "MAJOR=" + std::to_string(kUsbSerialMajor) + "\nMINOR=" +
                                     minor + "\nDEVNAME=" + e.ttyName + "\n")) {
    ec = std::make_error_code(std::errc::io_error);
    return false;
  }
  // Written out as the kernel writes it rather than the shortest "../..".
  fs::create_symlink(fs::path("../../..") / e.ttyName, tty / "device", ec);
  return !ec;
}

// Makes the class link by renaming a private link over the final name, so a
// stale link left by a crashed simulator is replaced in one step.
bool PublishClassLink(const UsbSerialPortEntry& e, std::error_code& ec) {
  const fs::path link = e.classLink;
  const fs::path tty = fs::path(e.portDir) / "tty" / e.ttyName;
  const fs::path temp =
      link.parent_path() / ("." + e.ttyName + "." + std::to_string(::getpid()) + ".new");
  fs::remove(temp, ec);
  if (!RelativeLink(tty, temp, ec)) return false;
  fs::rename(temp, link, ec);
  if (ec) fs::remove(temp, ec);
  return !ec;
}

}  // namespace

std::optional<UsbSerialPortEntry> AddUsbSerialPort(const std::string& root,
                                                   const UsbSerialPortSpec& adapter,
                                                   const std::string& target,
                                                   std::string* error) {
  std::error_code ec;
  const fs::path r = root;
  UsbSerialPortEntry e;
  e.root = root;
  auto fail = [&](const char* step) -> std::optional<UsbSerialPortEntry> {
    if (error) *error = std::string(step) + ": " + ec.message();
    RemoveUsbSerialPort(e);
    return std::nullopt;
  };
  for (const fs::path& dir : {r / "dev", UsbBus(r), r / "sys/class/tty"}) {
    fs::create_directories(dir, ec);
    if (ec) return fail("create folders");
  }
  auto m = ClaimTtyIndex(r / "dev", target, ec);
  if (!m) return fail("claim ttyUSB number");
  e.ttyIndex = *m;
  e.ttyName = "ttyUSB" + std::to_string(*m);
  e.devLink = (r / "dev" / e.ttyName).string();
  auto k = ClaimUsbPort(UsbBus(r), ec);
  if (!k) return fail("claim USB port number");
  e.usbPort = *k;
  e.usbDevice = (UsbBus(r) / ("1-" + std::to_string(*k))).string();
  if (!FillUsbDevice(adapter, e, ec)) return fail("fill USB device");
  e.classLink = (r / "sys/class/tty" / e.ttyName).string();
  if (!PublishClassLink(e, ec)) return fail("publish class link");
  return e;
}

bool RemoveUsbSerialPort(const UsbSerialPortEntry& e) {
  std::error_code ec;
  bool ok = true;
  // Reverse order of creation: invisible to a walk first, the numbers freed last.
  if (!e.classLink.empty()) ok &= fs::remove(e.classLink, ec) || !ec;
  if (!e.usbDevice.empty()) {
    fs::remove_all(e.usbDevice, ec);
    ok &= !ec;
  }
  if (!e.devLink.empty()) ok &= fs::remove(e.devLink, ec) || !ec;
  return ok;
}

}  // namespace vozisim
