#include "publish/stream_messages.h"

#include <nlohmann/json.hpp>

#include "outputs/number_text.h"

namespace vozihost {
namespace {

using Json = nlohmann::ordered_json;

Json Event(const char* name, int64_t stream, uint64_t position) {
  return Json{{"event", name},
              {"time", IsoTime(std::chrono::system_clock::now())},
              {"stream", stream},
              {"position", position}};
}

// Instruments name themselves; whatever bytes they send must not make the
// JSON unreadable (invalid UTF-8 becomes U+FFFD rather than an exception).
std::string Text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The version text reads "1.1.0.1"; the firmware number, the part the
// enabler checks against its requirement, follows the third dot.
std::string FirmwareNumber(const std::string& version) {
  size_t at = 0;
  for (int dots = 0; dots < 3; ++dots) {
    at = version.find('.', at);
    if (at == std::string::npos) return version;
    ++at;
  }
  return version.substr(at);
}

}  // namespace

int64_t StreamUs(std::chrono::system_clock::time_point started) {
  return std::chrono::duration_cast<std::chrono::microseconds>(started.time_since_epoch()).count();
}

std::string TopicId(const DeviceInfo& info) {
  std::string id = info.uniqueId ? std::to_string(*info.uniqueId) : "serial-" + info.description;
  for (char& c : id) {
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return id;
}

std::string InfoJson(const DeviceStream& s, std::chrono::system_clock::time_point started,
                     const std::string& toolVersion, const std::string& clock) {
  Json channels = Json::array();
  for (const ChannelInfo& c : s.columns) {
    Json channel{{"index", c.index}, {"name", c.name}, {"units", c.units}};
    if (c.Scaled()) {
      channel["min"] = *c.minimum;
      channel["max"] = *c.maximum;
    }
    channels.push_back(std::move(channel));
  }
  Json info{{"format", kStreamFormat},
            {"unique_id", s.info.uniqueId ? Json(TopicId(s.info)) : Json(nullptr)},
            {"model", s.info.model},
            {"firmware", FirmwareNumber(s.info.firmware)},
            {"version", s.info.firmware},
            {"description", s.info.description},
            {"period_us", s.periodUs > 0 ? Json(s.periodUs) : Json(nullptr)},
            {"period_source", s.periodUs > 0 ? "selected" : "none"},
            {"channels", std::move(channels)},
            {"started", IsoTime(started)},
            {"started_us", StreamUs(started)},
            {"tool", "vozi-host " + toolVersion},
            {"clock", clock}};
  return Text(info);
}

std::string StartEvent(int64_t stream, uint64_t position) { return Text(Event("start", stream, position)); }

std::string StopEvent(int64_t stream, uint64_t position, const std::string& reason) {
  Json e = Event("stop", stream, position);
  e["reason"] = reason;
  return Text(e);
}

std::string GapEvent(int64_t stream, uint64_t position, std::optional<uint64_t> count, const std::string& cause) {
  Json e = Event("gap", stream, position);
  e["count"] = count ? Json(*count) : Json(nullptr);
  e["cause"] = cause;
  return Text(e);
}

std::string LostEvent(int64_t stream, uint64_t position, const std::string& reason) {
  Json e = Event("lost", stream, position);
  e["reason"] = reason;
  return Text(e);
}

std::string UnpublishedEvent(int64_t stream, uint64_t position, uint64_t batches) {
  Json e = Event("unpublished", stream, position);
  e["count"] = batches;
  return Text(e);
}

}  // namespace vozihost
