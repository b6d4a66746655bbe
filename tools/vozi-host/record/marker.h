#pragma once
// Experiment markers: a moment (and optionally a span) of an experiment,
// named by the software that runs it ("stimulus 12 shown"), sent to
// PREFIX/markers so that every recorder of the broker's streams places it on
// the instruments' time axis. The payload is JSON:
//   {"format": 1, "text": "...", "time_utc_us": <int>, "duration_us": <int>, "sender": "...", "clock": "..."}
// with the sender's clock in microseconds since 1970 UTC, duration_us
// optional, and clock (optional) the name under which the sending process
// answers clock exchanges, so that a recorder can place the time on its own
// clock. Text and sender are UTF-8 without control characters, at most
// kMaxMarkerTextBytes and kMaxMarkerSenderBytes: a marker lands in file
// names' neighbours (CSV, EDF+ annotations) and in session.json, where a
// line break or an escape sequence would forge or hide lines.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vozihost {

inline constexpr size_t kMaxMarkerTextBytes = 1024;
inline constexpr size_t kMaxMarkerSenderBytes = 128;
inline constexpr int64_t kMaxMarkerTimeUs = 253402300800000000LL;  // 10000-01-01 UTC
inline constexpr const char* kMarkerTopic = "markers";  // under the prefix

struct Marker {
  std::string text;
  int64_t timeUtcUs = 0;
  std::optional<int64_t> durationUs;
  std::string sender;
  std::string clock;  // the sending process's clock name (answers clock exchanges); empty: none given
  // Set by a recorder: the time on its own clock, and the sender's clock's
  // offset it used (nullopt: not measured, the time taken as sent).
  int64_t recorderUs = 0;
  std::optional<double> clockOffsetUs;
};

// What is wrong with a marker's text or sender (`what` names it in the
// sentence), or nullopt: valid UTF-8, not empty, at most `maxBytes`, no
// control characters (C0, DEL, C1).
std::optional<std::string> CheckMarkerField(const std::string& what, const std::string& value, size_t maxBytes);

// The payload of a marker (assumed checked).
std::string MarkerPayload(const Marker& m);
// A payload back: nullopt with *why when it is anything but a format-1 marker
// within the bounds.
std::optional<Marker> ParseMarker(const std::string& payload, std::string* why);

// The first bytes of text, at most maxBytes, cut at a character's boundary.
std::string Utf8Prefix(const std::string& text, size_t maxBytes);

}  // namespace vozihost
