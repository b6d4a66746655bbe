#pragma once
// The room broker's bridge, line for line the block docs/streaming.md gives
// ("Beyond one broker"), to a central broker on the loopback at `centralPort`.
#include <string>

namespace hosttest {

inline std::string RoomBridge(int centralPort) {
  return "allow_anonymous true\n"
         "connection room3\n"
         "address 127.0.0.1:" +
         std::to_string(centralPort) +
         "\n"
         "remote_clientid vozi-bridge-room3\n"
         "bridge_protocol_version mqttv50\n"
         "cleansession false\n"
         "restart_timeout 1 16\n"
         "topic vozi/+/info out 1\n"
         "topic vozi/+/status out 1\n"
         "topic vozi/+/events out 1\n"
         "topic vozi/+/samples out 1\n"
         "topic vozi/markers both 1\n"
         "topic vozi/clock/# both 1\n";
}

}  // namespace hosttest
