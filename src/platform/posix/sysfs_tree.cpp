#include "platform/posix/sysfs_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "platform/posix/regular_file.h"
#include "platform/posix/utf8_codec.h"

namespace platform::sysfs {
namespace {

namespace fs = std::filesystem;

// As the kernel's own path walk: more links than this in one look-up is a loop.
constexpr int kMaxLinks = 40;
// Every attribute read here is one short line; the kernel's own attribute
// files never hold more than a page.
constexpr size_t kMaxAttribute = 4096;

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

// The device root being read, with the folders already found to be folders
// (not links) during this listing: every port repeats the long shared part
// of its sysfs path, which then costs no look-up after the first port.
class Tree {
 public:
  explicit Tree(std::string root) : root_(std::move(root)) {}
  const std::string& root() const { return root_; }

  // The path inside the root that `path` leads to once every link is
  // followed, never above the root; nullopt when a part is missing or the
  // links loop.
  std::optional<std::string> Resolve(const std::string& path);

  // An entry of a folder that is already resolved: its path, with the entry
  // itself resolved when it is a link, so that a link is followed only as far
  // as it stays inside the root.
  std::optional<std::string> Entry(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(root_ + path, ec))) return path;
    return Resolve(path);
  }

  bool IsKind(const std::optional<std::string>& path, fs::file_type type) const {
    std::error_code ec;
    return path && fs::symlink_status(root_ + *path, ec).type() == type && !ec;
  }

 private:
  const std::string root_;
  std::unordered_set<std::string> folders_;
};

std::optional<std::string> Tree::Resolve(const std::string& path) {
  std::vector<std::string> done;
  std::string joined;  // Join(done) without the lone "/" of an empty list
  std::deque<std::string> todo = Components(path);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = todo.front();
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!done.empty()) {  // never above the root
        joined.erase(joined.size() - done.back().size() - 1);
        done.pop_back();
      }
      continue;
    }
    const std::string inside = joined + "/" + part;
    if (folders_.count(inside) != 0) {
      done.push_back(part);
      joined = inside;
      continue;
    }
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(root_ + inside, ec);
    if (ec || !fs::exists(status)) return std::nullopt;
    if (!fs::is_symlink(status)) {
      if (fs::is_directory(status)) folders_.insert(inside);
      done.push_back(part);
      joined = inside;
      continue;
    }
    if (++links > kMaxLinks) return std::nullopt;
    std::string target = fs::read_symlink(root_ + inside, ec).string();
    if (ec) return std::nullopt;
    if (!target.empty() && target.front() == '/') {
      // Absolute: inside the root, whether or not it spells the root out.
      if (!root_.empty() && target.starts_with(root_ + "/")) target.erase(0, root_.size());
      done.clear();
      joined.clear();
    }
    std::deque<std::string> spliced = Components(target);
    todo.insert(todo.begin(), spliced.begin(), spliced.end());
  }
  return Join(done);
}

// One attribute file of a resolved folder: its first line, without the line
// feed the kernel adds. What is found must be a regular file, so that a FIFO
// or a device in its place is never opened.
std::optional<std::string> ReadAttribute(Tree& tree, const std::string& folder, const std::string& name) {
  const auto path = tree.Entry(folder, name);
  if (!path) return std::nullopt;
  auto file = ReadRegularFile(tree.root() + *path, kMaxAttribute, /*followLastLink=*/false);
  if (!file) return std::nullopt;
  std::string text = std::move(file->bytes);
  const size_t end = text.find('\n');
  if (end != std::string::npos) text.erase(end);
  return text;
}

// The interface and the driver behind a tty's device link; nullopt when the
// device is not a USB interface or a usb-serial port on one.
struct UsbPlace {
  std::string interface;
  std::string driver;
};

std::string DriverOf(Tree& tree, const std::string& device) {
  const auto driver = tree.Resolve(device + "/driver");
  return driver ? BaseName(*driver) : std::string();
}

std::optional<UsbPlace> LocateUsb(Tree& tree, const std::string& device) {
  if (tree.IsKind(tree.Entry(device, "bInterfaceNumber"), fs::file_type::regular)) {
    return UsbPlace{device, DriverOf(tree, device)};
  }
  const std::string parent = Parent(device);
  if (tree.IsKind(tree.Entry(parent, "bInterfaceNumber"), fs::file_type::regular)) {
    return UsbPlace{parent, DriverOf(tree, device)};
  }
  return std::nullopt;
}

std::optional<UsbTtyPort> ReadPort(Tree& tree, const std::string& name) {
  const auto device = tree.Resolve("/sys/class/tty/" + name + "/device");
  if (!device) return std::nullopt;  // a virtual terminal, or a dangling link
  const auto place = LocateUsb(tree, *device);
  if (!place) return std::nullopt;  // a built-in or platform port
  const std::string usb = Parent(place->interface);
  // The folders are resolved already; only an attribute itself may be a link.
  const auto vendor = ReadAttribute(tree, usb, "idVendor");
  const auto productId = ReadAttribute(tree, usb, "idProduct");
  const auto number = ReadAttribute(tree, place->interface, "bInterfaceNumber");
  if (!vendor || !productId || !number) return std::nullopt;

  UsbTtyPort port;
  port.name = name;
  port.driver = place->driver;
  port.vendorId = *vendor;
  port.productId = *productId;
  port.serial = ReadAttribute(tree, usb, "serial");
  port.manufacturer = ReadAttribute(tree, usb, "manufacturer").value_or("");
  port.product = ReadAttribute(tree, usb, "product").value_or("");
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
  return Tree(root).Resolve(path);
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
  Tree tree(root);
  std::vector<std::string> names;
  const auto classDir = tree.Resolve("/sys/class/tty");
  if (!classDir) return {};
  std::error_code ec;
  for (fs::directory_iterator it(root + *classDir, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Hidden entries are links still being made by whoever builds the tree.
    if (!name.empty() && name.front() != '.') names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), NameOrderLess);
  std::vector<UsbTtyPort> ports;
  for (const std::string& name : names) {
    if (auto port = ReadPort(tree, name)) ports.push_back(std::move(*port));
  }
  return ports;
}

bool UsbSerialDriverPresent(const std::string& root, const std::string& driver) {
  Tree tree(root);
  return tree.IsKind(tree.Resolve("/sys/bus/usb-serial/drivers/" + driver), fs::file_type::directory);
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
