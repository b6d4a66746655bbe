#pragma once
// Where the system shows an instrument's port. The enabler names no port
// (it reports the adapter's serial number and an identifier derived from
// it), so the tool looks the adapters up itself: on Linux the USB serial
// adapters in sysfs, each with its serial number as the enabler reads it
// (FTDI adapters with the interface letter appended) and its /dev node.
#include <filesystem>
#include <string>
#include <vector>

namespace vozihost {

struct PlatformPort {
  std::string serial;  // "ZOR12105A"
  std::string port;    // "/dev/ttyUSB0"
};

// The adapters under `root` (normally "/": a simulated device tree's root
// otherwise). Empty where the platform offers no such look-up.
std::vector<PlatformPort> UsbSerialPorts(const std::filesystem::path& root);

}  // namespace vozihost
