#pragma once
// "vozi-host publish": acquire's streaming (and its files, if asked), with
// every started instrument published to an MQTT broker as docs/streaming.md
// lays out. A command that needs the same streams on a broker of its own
// (a private one for a monitor page) calls RunPublish with that broker.
#include <cstdint>
#include <ostream>
#include <vector>

#include "commands/commands.h"
#include "publish/broker_settings.h"

namespace vozihost {

// Whether this build can publish (Linux with libmosquitto).
bool PublishSupported();

// Exit code: acquire's, or kExitBroker when the broker could not be reached
// at the start (and no file was asked for) or some batches could not be
// published.
int RunPublish(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& acquire,
               const BrokerSettings& broker, std::ostream& out);

}  // namespace vozihost
