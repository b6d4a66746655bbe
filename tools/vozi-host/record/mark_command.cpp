#include "record/mark_command.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "commands/commands.h"
#include "commands/exit_codes.h"
#include "publish/clock_messages.h"
#include "publish/mqtt_connection.h"
#include "record/marker.h"

namespace vozihost {
namespace {

using namespace std::chrono_literals;
constexpr auto kAnswerWait = 10s;
// After the acknowledgement: the recorders' clock exchanges come at once
// (the marker names a clock they have not measured); the command leaves once
// none came for kClockQuiet, and after kClockLinger at most.
constexpr auto kClockQuiet = 500ms;
constexpr auto kClockLinger = 2s;

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string DefaultSender() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "vozi-host";
  const std::string host = Utf8Prefix(name, kMaxMarkerSenderBytes);
  return CheckMarkerField("", host, kMaxMarkerSenderBytes) ? "vozi-host" : host;
}

int RunMark(const MarkOptions& o, const BrokerSettings& broker, std::ostream& out) {
  Marker m;
  m.timeUtcUs = NowUs();
  m.text = o.text;
  m.durationUs = o.durationUs;
  m.sender = o.sender.empty() ? DefaultSender() : o.sender;
  const std::string topic = broker.prefix + "/" + kMarkerTopic;
  std::string error;
  MqttConnection connection("vozi-host-mark-" + std::to_string(getpid()), broker, "", "");
  if (!o.noClock) {
    m.clock = ProcessClockName();
    connection.AnswerClock(broker.prefix, m.clock);
  }
  if (!connection.Start(kAnswerWait, &error)) {
    ReportError("the marker was not sent: cannot reach the broker " + broker.url.Text() + ": " + error);
    return kExitBroker;
  }
  // Subscribed before the marker goes: a recorder asks the moment it has it.
  // A broker that refuses the subscription (its ACL) only costs the clock.
  if (!o.noClock) connection.WaitSubscribed(kAnswerWait);
  if (!connection.Publish(topic, MarkerPayload(m), false, true)) {
    connection.Finish("", "", 0ms);
    ReportError("the marker was not sent: the connection to " + broker.url.Text() + " did not take it");
    return kExitBroker;
  }
  // The broker answers a QoS 1 message (MQTT 5: with a reason code); only
  // its acknowledgement says the marker reached the recorders' broker.
  const auto until = std::chrono::steady_clock::now() + kAnswerWait;
  while (connection.Acknowledged() + connection.Refused() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(5ms);
  }
  const bool taken = connection.Acknowledged() > 0;
  const auto refusal = connection.TakeRefusal();
  if (taken && !o.noClock) {
    const auto acknowledged = std::chrono::steady_clock::now();
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      const auto last = std::max(acknowledged, connection.LastClockRequest());
      if (now - last >= kClockQuiet || now - acknowledged >= kClockLinger || !connection.Connected()) break;
      std::this_thread::sleep_for(10ms);
    }
  }
  connection.Finish("", "", 0ms);
  if (!taken) {
    if (refusal) {
      ReportError("the broker " + broker.url.Text() + " refused the marker: " + *refusal +
                  " (does its ACL let this user write " + topic + "?)");
    } else {
      ReportError("the broker " + broker.url.Text() + " did not acknowledge the marker within " +
                  std::to_string(kAnswerWait.count()) + " s: it may not have been recorded");
    }
    return kExitBroker;
  }
  out << "marker sent to " << topic << " at " << m.timeUtcUs << " us (UTC) by " << m.sender << "\n";
  return kExitOk;
}

}  // namespace vozihost
