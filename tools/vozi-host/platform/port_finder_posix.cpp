#include "platform/port_finder.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

namespace vozihost {
namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

std::vector<PlatformPort> UsbSerialPorts(const fs::path& root) {
  std::vector<PlatformPort> ports;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(root / "sys/class/tty", ec)) {
    const std::string name = e.path().filename().string();
    // The class entry links to .../<usb device>/<interface>/<port>/tty/<name>.
    fs::path at = fs::canonical(e.path(), ec);
    if (ec) continue;
    std::string interfaceNumber;
    for (; at.has_relative_path() && at != root; at = at.parent_path()) {
      if (interfaceNumber.empty() && fs::exists(at / "bInterfaceNumber")) {
        interfaceNumber = FirstLine(at / "bInterfaceNumber");
      }
      if (fs::exists(at / "idVendor")) break;
    }
    if (!fs::exists(at / "serial")) continue;
    std::string serial = FirstLine(at / "serial");
    // The FTDI driver names each interface of an adapter by a letter.
    if (FirstLine(at / "idVendor") == "0403") {
      serial += static_cast<char>('A' + (interfaceNumber.empty() ? 0 : static_cast<int>(std::strtol(interfaceNumber.c_str(), nullptr, 16))));
    }
    ports.push_back({serial, (root / "dev" / name).string()});
  }
  return ports;
}

}  // namespace vozihost
