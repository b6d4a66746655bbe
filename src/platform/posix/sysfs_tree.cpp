#include "platform/posix/sysfs_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/posix/utf8_codec.h"

namespace platform::sysfs {
namespace {

namespace fs = std::filesystem;

// As the kernel's own path walk: more links than this in one look-up is a loop.
constexpr int kMaxLinks = 40;
// Every attribute read here is one short line.
constexpr std::streamsize kMaxAttribute = 4096;

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = std::min(path.find('/', start), path.size());
    if (slash > start) parts.emplace_back(path, start, slash - start);
    start = slash + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

// The last component of a path inside the root.
std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// One attribute file: its first line, without the line feed the kernel adds.
std::optional<std::string> ReadAttribute(const std::string& root, const std::string& path) {
  std::ifstream in(root + path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<size_t>(kMaxAttribute), '\0');
  in.read(text.data(), kMaxAttribute);
  text.resize(static_cast<size_t>(in.gcount()));
  if (in.bad()) return std::nullopt;
  const size_t end = text.find('\n');
  if (end != std::string::npos) text.erase(end);
  return text;
}

bool IsFile(const std::string& root, const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(root + path, ec);
}

// The interface and the driver behind a tty's device link; nullopt when the
// device is not a USB interface or a usb-serial port on one.
struct UsbPlace {
  std::string interface;
  std::string driver;
};

std::string DriverOf(const std::string& root, const std::string& device) {
  const auto driver = ResolveUnderRoot(root, device + "/driver");
  return driver ? BaseName(*driver) : std::string();
}

std::optional<UsbPlace> LocateUsb(const std::string& root, const std::string& device) {
  if (IsFile(root, device + "/bInterfaceNumber")) return UsbPlace{device, DriverOf(root, device)};
  const std::string parent = Parent(device);
  if (IsFile(root, parent + "/bInterfaceNumber")) return UsbPlace{parent, DriverOf(root, device)};
  return std::nullopt;
}

std::optional<UsbTtyPort> ReadPort(const std::string& root, const std::string& name) {
  const auto device = ResolveUnderRoot(root, "/sys/class/tty/" + name + "/device");
  if (!device) return std::nullopt;  // a virtual terminal, or a dangling link
  const auto place = LocateUsb(root, *device);
  if (!place) return std::nullopt;  // a built-in or platform port
  const std::string usb = Parent(place->interface);
  const auto vendor = ReadAttribute(root, usb + "/idVendor");
  const auto productId = ReadAttribute(root, usb + "/idProduct");
  const auto number = ReadAttribute(root, place->interface + "/bInterfaceNumber");
  if (!vendor || !productId || !number) return std::nullopt;

  UsbTtyPort port;
  port.name = name;
  port.driver = place->driver;
  port.vendorId = *vendor;
  port.productId = *productId;
  port.serial = ReadAttribute(root, usb + "/serial");
  port.manufacturer = ReadAttribute(root, usb + "/manufacturer").value_or("");
  port.product = ReadAttribute(root, usb + "/product").value_or("");
  port.interfaceNumber = static_cast<unsigned>(std::strtoul(number->c_str(), nullptr, 16));
  port.usbDevice = BaseName(usb);
  return port;
}

std::u16string Upper(const std::string& text) {
  std::u16string wide = utf8::Decode(text);
  for (char16_t& c : wide) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return wide;
}

}  // namespace

std::string DeviceRoot() {
  const char* root = std::getenv("VOZI_DEVICE_ROOT");
  std::string text = root ? root : "";
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::optional<std::string> ResolveUnderRoot(const std::string& root, const std::string& path) {
  std::vector<std::string> done;
  std::deque<std::string> todo = Components(path);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = todo.front();
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) done.pop_back();  // never above the root
      continue;
    }
    const std::string here = root + Join(done) + (done.empty() ? "" : "/") + part;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(here, ec);
    if (ec || !fs::exists(status)) return std::nullopt;
    if (!fs::is_symlink(status)) {
      done.push_back(part);
      continue;
    }
    if (++links > kMaxLinks) return std::nullopt;
    std::string target = fs::read_symlink(here, ec).string();
    if (ec) return std::nullopt;
    if (!target.empty() && target.front() == '/') {
      // Absolute: inside the root, whether or not it spells the root out.
      if (!root.empty() && target.starts_with(root + "/")) target.erase(0, root.size());
      done.clear();
    }
    std::deque<std::string> spliced = Components(target);
    todo.insert(todo.begin(), spliced.begin(), spliced.end());
  }
  return Join(done);
}

bool NameOrderLess(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ei = i;
      size_t ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      // Compare by value: skip leading zeros, then the longer run is larger.
      size_t si = a.find_first_not_of('0', i);
      size_t sj = b.find_first_not_of('0', j);
      si = std::min(si, ei);
      sj = std::min(sj, ej);
      if (ei - si != ej - sj) return ei - si < ej - sj;
      const int order = a.compare(si, ei - si, b, sj, ej - sj);
      if (order != 0) return order < 0;
      if (ei - i != ej - j) return ei - i < ej - j;  // fewer leading zeros first
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::vector<UsbTtyPort> ListUsbTtyPorts(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(root + "/sys/class/tty", ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Hidden entries are links still being made by whoever builds the tree.
    if (!name.empty() && name.front() != '.') names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), NameOrderLess);
  std::vector<UsbTtyPort> ports;
  for (const std::string& name : names) {
    if (auto port = ReadPort(root, name)) ports.push_back(std::move(*port));
  }
  return ports;
}

bool UsbSerialDriverPresent(const std::string& root, const std::string& driver) {
  std::error_code ec;
  return fs::is_directory(root + "/sys/bus/usb-serial/drivers/" + driver, ec);
}

std::u16string InstanceId(const UsbTtyPort& port) {
  const std::u16string vid = Upper(port.vendorId);
  const std::u16string pid = Upper(port.productId);
  if (port.driver == "ftdi_sio") {
    std::u16string id = u"FTDIBUS\\VID_" + vid + u"+PID_" + pid + u"+";
    if (port.serial && !port.serial->empty()) {
      // The driver tells the channels of a multi-port chip apart by a letter.
      id += utf8::Decode(*port.serial);
      id += static_cast<char16_t>(u'A' + std::min(port.interfaceNumber, 25u));
    }
    return id + u"\\0000";
  }
  const std::string serial = port.serial && !port.serial->empty() ? *port.serial : port.usbDevice;
  return u"USB\\VID_" + vid + u"&PID_" + pid + u"\\" + utf8::Decode(serial);
}

}  // namespace platform::sysfs
