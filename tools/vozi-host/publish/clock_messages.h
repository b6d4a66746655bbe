#pragma once
// Clock exchanges through the broker: a recorder measures how far each
// sending process's clock (a publisher's, a marker sender's) is from its own,
// as NTP does, with four timestamps. It publishes a request carrying t1 (its
// clock as it sends) and the topic to answer on; the sender notes t2 (its
// clock as the request arrives) and t3 (just before its reply goes) and
// sends t1, t2, t3 back; the recorder notes t4 as the reply arrives:
//   offset     = ((t2 - t1) + (t3 - t4)) / 2   (the sender's clock ahead of the recorder's)
//   round trip = (t4 - t1) - (t3 - t2)
// Topics: <prefix>/clock/<name>/request, replies under
// <prefix>/clock/<name>/reply/. Every message goes with QoS 0: a message sent
// again would measure the resend, not the path; a lost exchange just does
// not count. Payloads are small JSON objects, bounded and checked on arrival.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vozihost {

inline constexpr size_t kMaxClockNameBytes = 96;
inline constexpr size_t kMaxClockMessageBytes = 1024;
inline constexpr size_t kMaxClockReplyTopicBytes = 512;
inline constexpr int64_t kMaxClockTimeUs = 253402300800000000LL;  // 10000-01-01 UTC

// This process's clock name: the host name (letters, digits, '.', '-', '_'
// only), the process id and a few random characters, so that two processes
// never share one, on one machine or several. The same for the whole process.
const std::string& ProcessClockName();
// A clock name as a sender may announce it: 1 to kMaxClockNameBytes of
// letters, digits, '.', '-' and '_' (one topic level, nothing MQTT or a file
// gives a meaning to).
bool ValidClockName(const std::string& name);

std::string ClockRequestTopic(const std::string& prefix, const std::string& name);
// What every reply topic for this clock begins with.
std::string ClockReplyBase(const std::string& prefix, const std::string& name);

// The system clock, microseconds since 1970 UTC.
int64_t ClockNowUs();

struct ClockRequest {
  int64_t t1 = 0;
  std::string reply;  // the topic to answer on
};
struct ClockReply {
  int64_t t1 = 0, t2 = 0, t3 = 0;
};

std::string ClockRequestPayload(const ClockRequest& r);
std::string ClockReplyPayload(const ClockReply& r);
// Nullopt with *why for anything but a request whose reply topic lies under
// replyBase, is one more level or more, bounded and without wildcards.
std::optional<ClockRequest> ParseClockRequest(const std::string& payload, const std::string& replyBase,
                                              std::string* why);
// Nullopt with *why unless every time lies within 1970 to 9999 and t3 is
// neither before t2 nor more than a second after it.
std::optional<ClockReply> ParseClockReply(const std::string& payload, std::string* why);

}  // namespace vozihost
