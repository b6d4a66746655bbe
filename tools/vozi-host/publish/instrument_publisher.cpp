#include "publish/instrument_publisher.h"

#include <unistd.h>

#include "commands/commands.h"
#include "publish/clock_messages.h"
#include "publish/stream_messages.h"

namespace vozihost {
namespace {

constexpr std::chrono::seconds kAnswerWait{10};
constexpr std::chrono::seconds kGoodbyeWait{5};

int64_t HostTimeUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Client ids must be unique on the broker: a second client with the same id
// would throw the first one off.
std::string ClientId(const std::string& id) {
  return "vozi-host-" + std::to_string(getpid()) + "-" + id;
}

}  // namespace

InstrumentPublisher::InstrumentPublisher(const DeviceStream& s, const BrokerSettings& settings,
                                         const std::string& toolVersion, bool answerClock)
    : topic_(settings.prefix + "/" + TopicId(s.info)),
      toolVersion_(toolVersion),
      connection_(ClientId(TopicId(s.info)), settings, topic_ + "/status", "offline"),
      batch_(s.columns.size(), kBatchSamples) {
  if (answerClock) connection_.AnswerClock(settings.prefix, ProcessClockName());
}

bool InstrumentPublisher::Connect(std::string* reason) { return connection_.Start(kAnswerWait, reason); }

void InstrumentPublisher::Begin(const DeviceStream& s, std::chrono::system_clock::time_point started) {
  info_ = InfoJson(s, started, toolVersion_, ProcessClockName());
  streamUs_ = StreamUs(started);
  batch_.SetStream(streamUs_);
  begun_ = true;
  if (connection_.Connected()) Announce();
  // Queued by libmosquitto until a connection is up.
  Event(StartEvent(streamUs_, 0));
}

void InstrumentPublisher::Announce() {
  announcedOn_ = connection_.Connections();
  connection_.Publish(topic_ + "/info", info_, true);
  connection_.Publish(topic_ + "/status", "online", true);
}

void InstrumentPublisher::Event(const std::string& json) { connection_.Publish(topic_ + "/events", json, false); }

void InstrumentPublisher::Flush() {
  if (batch_.Empty()) return;
  const uint64_t first = batch_.First();
  const std::string message = batch_.Take();
  // Samples are not queued while the connection is down: they would pile up
  // for as long as the broker is away. They are counted instead, and the
  // subscriber sees the jump in positions. They go with QoS 1 so that the
  // broker says whether it took each batch (MQTT 5 answers a refused one
  // with a reason code); subscribers still get them at their own QoS.
  if (connection_.Connected() && connection_.OutstandingBytes() < kMaxOutstandingBytes &&
      connection_.Publish(topic_ + "/samples", message, false, true)) {
    ++handed_;
    return;
  }
  if (unpublishedPending_ == 0) unpublishedFrom_ = first;
  ++unpublishedPending_;
  ++unpublishedTotal_;
}

void InstrumentPublisher::Row(uint64_t position, const std::vector<double>& values, int64_t gap, GapCause cause) {
  if (gap != 0 || (!batch_.Empty() && position != batch_.Next())) Flush();
  if (gap != 0) {
    Event(GapEvent(streamUs_, position, gap < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(gap)),
                   GapCauseName(cause)));
  }
  const auto now = std::chrono::steady_clock::now();
  if (batch_.Empty()) batchStarted_ = now;
  batch_.Add(position, HostTimeUs(), values);
  // The age is looked at here too: a host catching up after a stall takes
  // many rows in one pass, and its batches must not wait for the pass's end.
  if (batch_.Full() || now - batchStarted_ >= kBatchAge) Flush();
}

// No row follows these samples: the event alone tells a subscriber that the
// stream's last ones before its stop never arrived.
void InstrumentPublisher::EndLoss(uint64_t position, uint64_t count, GapCause cause) {
  Flush();
  Event(GapEvent(streamUs_, position, count, GapCauseName(cause)));
}

void InstrumentPublisher::Pass(const DeviceStream& s) {
  if (!batch_.Empty() && std::chrono::steady_clock::now() - batchStarted_ >= kBatchAge) Flush();
  if (begun_ && connection_.Connected() && connection_.Connections() != announcedOn_) {
    // A new connection (the broker came back, or came at last): it may have
    // lost the retained messages, and it should hear what it missed.
    Announce();
    if (unpublishedPending_ > 0) {
      Event(UnpublishedEvent(streamUs_, unpublishedFrom_, unpublishedPending_));
      unpublishedPending_ = 0;
    }
  }
  ReportRefusal();
  if (!s.failure.empty() && !lostReported_) {
    lostReported_ = true;
    Flush();
    Event(LostEvent(streamUs_, s.Position(), s.failure));
    connection_.Publish(topic_ + "/status", "offline", true);
  }
}

void InstrumentPublisher::End(const DeviceStream& s, RunEnd end) {
  Pass(s);
  Flush();
  const char* reason = !s.failure.empty() ? "failed" : end == RunEnd::Interrupted ? "interrupted" : "limit";
  Event(StopEvent(streamUs_, s.Position(), reason));
  connection_.Finish(topic_ + "/status", "offline", kGoodbyeWait);
  ReportRefusal();
}

// The first message the broker refused, said when it is known: the cause
// (usually an ACL that does not let this user write under the prefix).
void InstrumentPublisher::ReportRefusal() {
  if (const auto refusal = connection_.TakeRefusal()) {
    ReportError(*refusal + " (does the broker's ACL let this user write under " + topic_ + "?)");
  }
  if (!clockRefusalSaid_ && !connection_.OptionalRefusals().empty()) {
    clockRefusalSaid_ = true;
    ReportError("warning: the broker refused the subscription to " + connection_.OptionalRefusals().front() +
                ": recorders cannot measure this machine's clock, and take the streams' times as sent");
  }
}

}  // namespace vozihost
