#include "platform/port_finder.h"

namespace vozihost {

// The COM port of an adapter needs SetupAPI and the FTDI driver; the tool
// leaves that to the enabler and shows no port on Windows.
std::vector<PlatformPort> UsbSerialPorts(const std::filesystem::path&) { return {}; }

}  // namespace vozihost
