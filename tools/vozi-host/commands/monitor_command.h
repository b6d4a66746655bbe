#pragma once
// "vozi-host monitor": publish as publish does, and show the streams live in
// a browser. Without a broker of the user's it starts a private one on the
// loopback that also serves the page, and prints the address to open; with
// --broker it publishes there and says how that broker can serve the page.
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <vector>

#include "commands/commands.h"
#include "publish/broker_settings.h"

namespace vozihost {

struct MonitorOptions {
  bool privateBroker = true;     // no --broker given
  std::filesystem::path webDir;  // the page's folder; empty: the installed or built page
};

// Exit code: publish's, or kExitBroker when the private broker cannot start.
int RunMonitor(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& acquire,
               BrokerSettings broker, const MonitorOptions& options, std::ostream& out);

}  // namespace vozihost
