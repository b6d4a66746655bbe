#include "record/marker.h"

#include <nlohmann/json.hpp>

#include "publish/clock_messages.h"

namespace vozihost {

using Json = nlohmann::ordered_json;

std::string MarkerPayload(const Marker& m) {
  Json j{{"format", 1}, {"text", m.text}, {"time_utc_us", m.timeUtcUs}};
  if (m.durationUs) j["duration_us"] = *m.durationUs;
  j["sender"] = m.sender;
  if (!m.clock.empty()) j["clock"] = m.clock;
  return j.dump();
}

std::optional<Marker> ParseMarker(const std::string& payload, std::string* why) {
  const Json j = Json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "a marker that is not a JSON object";
    return std::nullopt;
  }
  const auto integer = [&](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && (it->is_number_integer() || it->is_number_unsigned()) &&
           !(it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX));
  };
  const auto text = [&](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string();
  };
  if (!integer("format") || j["format"].get<int64_t>() != 1) {
    *why = "a marker of a format other than 1";
    return std::nullopt;
  }
  if (!text("text") || !text("sender") || !integer("time_utc_us")) {
    *why = "a marker without text, sender or an integer time_utc_us";
    return std::nullopt;
  }
  Marker m;
  m.text = j["text"].get<std::string>();
  m.sender = j["sender"].get<std::string>();
  m.timeUtcUs = j["time_utc_us"].get<int64_t>();
  // From 1970 to the year 10000: times any file can hold, and whose
  // differences cannot overflow.
  if (m.timeUtcUs < 0 || m.timeUtcUs > kMaxMarkerTimeUs) {
    *why = "a marker whose time_utc_us is outside 1970 to 9999";
    return std::nullopt;
  }
  if (j.contains("duration_us")) {
    if (!integer("duration_us") || j["duration_us"].get<int64_t>() < 0 ||
        j["duration_us"].get<int64_t>() > kMaxMarkerTimeUs) {
      *why = "a marker whose duration_us is not a whole number of microseconds, 0 or more";
      return std::nullopt;
    }
    m.durationUs = j["duration_us"].get<int64_t>();
  }
  if (auto e = CheckMarkerField("its text", m.text, kMaxMarkerTextBytes)) {
    *why = "a marker: " + *e;
    return std::nullopt;
  }
  if (auto e = CheckMarkerField("its sender", m.sender, kMaxMarkerSenderBytes)) {
    *why = "a marker: " + *e;
    return std::nullopt;
  }
  if (const auto clock = j.find("clock"); clock != j.end()) {
    if (!clock->is_string() || !ValidClockName(clock->get<std::string>())) {
      *why = "a marker whose clock is not a clock name";
      return std::nullopt;
    }
    m.clock = clock->get<std::string>();
  }
  return m;
}

}  // namespace vozihost
