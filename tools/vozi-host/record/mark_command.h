#pragma once
// "vozi-host mark": one experiment marker sent to a broker, for a lab's
// experiment software to call at the moment it shows a stimulus or starts a
// task. The moment is taken when the command starts, on this machine's
// clock, before anything connects. The marker names this process's clock,
// and once it is acknowledged the command stays a moment to answer the
// recorders' clock exchanges (they place the marker on their own clocks).
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "publish/broker_settings.h"

namespace vozihost {

struct MarkOptions {
  std::string text;
  std::string sender;                // empty: this machine's host name
  std::optional<int64_t> durationUs;
  // Name no clock, and do not stay to answer a recorder's clock exchanges.
  bool noClock = false;
};

// This machine's host name, for the default sender ("vozi-host" when it
// has none that is a valid sender).
std::string DefaultSender();

// Exit code: 0 once the broker acknowledged the marker; kExitBroker when it
// could not be reached, refused the marker or did not answer in time.
int RunMark(const MarkOptions& options, const BrokerSettings& broker, std::ostream& out);

}  // namespace vozihost
