#include "record/remote_messages.h"

#include "publish/clock_messages.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace vozihost {
namespace {

using Json = nlohmann::json;

// The JSON object of a message, or nullopt with *why.
std::optional<Json> ParseObject(const std::string& payload, size_t maxBytes, std::string* why) {
  if (payload.size() > maxBytes) {
    *why = "over " + std::to_string(maxBytes / 1024) + " KiB";
    return std::nullopt;
  }
  if (NestedDeeperThan(payload, kMaxJsonDepth)) {
    *why = "JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return std::nullopt;
  }
  Json j = Json::parse(payload, nullptr, false);
  if (j.is_discarded()) {
    *why = "not JSON";
    return std::nullopt;
  }
  if (!j.is_object()) {
    *why = "not a JSON object";
    return std::nullopt;
  }
  return j;
}

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

// A text field; absent is allowed where `required` is false (it reads as "").
bool Text(const Json& j, const char* key, bool required, std::string* out, std::string* why) {
  const auto it = j.find(key);
  if (it == j.end()) return !required || Fail(why, std::string("no \"") + key + "\"");
  if (!it->is_string()) return Fail(why, std::string("\"") + key + "\" is not text");
  *out = it->get<std::string>();
  return true;
}

bool Integer(const Json& j, const char* key, int64_t* out, std::string* why) {
  const auto it = j.find(key);
  if (it == j.end()) return Fail(why, std::string("no \"") + key + "\"");
  if (!it->is_number_integer()) return Fail(why, std::string("\"") + key + "\" is not an integer");
  *out = it->get<int64_t>();
  return true;
}

bool Position(const Json& j, uint64_t* out, std::string* why) {
  const auto it = j.find("position");
  if (it == j.end() || !it->is_number_unsigned()) return Fail(why, "\"position\" is not a whole number");
  *out = it->get<uint64_t>();
  return true;
}

bool Channel(const Json& c, ChannelInfo* out, std::string* why) {
  if (!c.is_object()) return Fail(why, "a channel is not an object");
  const auto index = c.find("index");
  if (index == c.end() || !index->is_number_integer() || index->get<int64_t>() < 1 ||
      index->get<int64_t>() > INT32_MAX) {
    return Fail(why, "a channel's \"index\" is not a channel number");
  }
  out->index = static_cast<int32_t>(index->get<int64_t>());
  if (!Text(c, "name", true, &out->name, why) || !Text(c, "units", true, &out->units, why)) return false;
  const auto low = c.find("min"), high = c.find("max");
  if (low == c.end() && high == c.end()) return true;
  if (low == c.end() || high == c.end() || !low->is_number() || !high->is_number()) {
    return Fail(why, "a channel's range is not two numbers");
  }
  const double l = low->get<double>(), h = high->get<double>();
  // The values travel as float32: a range beyond it could not be scaled back.
  if (!std::isfinite(l) || !std::isfinite(h) || h < l || std::abs(l) > 3e38 || std::abs(h) > 3e38) {
    return Fail(why, "a channel's range is not two finite numbers, max >= min");
  }
  out->minimum = static_cast<float>(l);
  out->maximum = static_cast<float>(h);
  return true;
}

uint64_t Little(const std::string& bytes, size_t at, size_t size) {
  uint64_t v = 0;
  for (size_t k = 0; k < size; ++k) v |= uint64_t(static_cast<unsigned char>(bytes[at + k])) << (8 * k);
  return v;
}

}  // namespace

bool NestedDeeperThan(const std::string& json, int depth) {
  int level = 0;
  bool inString = false, escaped = false;
  for (char c : json) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++level > depth) return true;
    } else if (c == ']' || c == '}') {
      --level;
    }
  }
  return false;
}

std::optional<int64_t> ParseIsoTimeUs(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0, used = 0;
  if (text.size() != 24 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ%n", &y, &mo, &d, &h, &mi, &s, &ms,
                                       &used) != 7 || used != 24) {
    return std::nullopt;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || y < 1970) return std::nullopt;
  std::tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  const std::time_t seconds = timegm(&t);
  if (seconds < 0) return std::nullopt;
  return static_cast<int64_t>(seconds) * 1000000 + ms * 1000;
}

std::optional<RemoteInfo> ParseInfo(const std::string& payload, std::string* why) {
  const auto j = ParseObject(payload, kMaxInfoBytes, why);
  if (!j) return std::nullopt;
  RemoteInfo info;
  int64_t format = 0;
  if (!Integer(*j, "format", &format, why)) return std::nullopt;
  if (format != 1 && format != 2) {
    *why = "format " + std::to_string(format) + " is not one this tool reads";
    return std::nullopt;
  }
  info.format = static_cast<int>(format);
  const auto id = j->find("unique_id");
  if (id != j->end() && id->is_string()) {
    info.uniqueId = id->get<std::string>();
  } else if (id != j->end() && !id->is_null()) {
    *why = "\"unique_id\" is neither text nor null";
    return std::nullopt;
  }
  if (!Text(*j, "model", false, &info.model, why) || !Text(*j, "description", false, &info.description, why) ||
      !Text(*j, "firmware", false, &info.firmware, why) || !Text(*j, "version", false, &info.version, why) ||
      !Text(*j, "tool", false, &info.tool, why) || !Text(*j, "started", true, &info.started, why)) {
    return std::nullopt;
  }
  const auto period = j->find("period_us");
  if (period != j->end() && !period->is_null()) {
    if (!period->is_number_integer() || period->get<int64_t>() < 1 || period->get<int64_t>() > INT32_MAX) {
      *why = "\"period_us\" is not a whole number of microseconds above 0";
      return std::nullopt;
    }
    info.periodUs = period->get<int64_t>();
  }
  const auto channels = j->find("channels");
  if (channels == j->end() || !channels->is_array() || channels->empty()) {
    *why = "no channels";
    return std::nullopt;
  }
  if (channels->size() > kMaxChannels) {
    *why = "more than " + std::to_string(kMaxChannels) + " channels";
    return std::nullopt;
  }
  for (const Json& c : *channels) {
    ChannelInfo channel;
    if (!Channel(c, &channel, why)) return std::nullopt;
    info.channels.push_back(std::move(channel));
  }
  if (info.format == 2) {
    if (!Integer(*j, "started_us", &info.startedUs, why)) return std::nullopt;
  } else if (const auto us = ParseIsoTimeUs(info.started)) {
    info.startedUs = *us;
  } else {
    *why = "\"started\" is not a UTC time";
    return std::nullopt;
  }
  if (info.startedUs <= 0) {
    *why = "the stream's start is not after 1970";
    return std::nullopt;
  }
  if (const auto clock = j->find("clock"); clock != j->end() && !clock->is_null()) {
    if (!clock->is_string() || !ValidClockName(clock->get<std::string>())) {
      *why = "\"clock\" is not a clock name (letters, digits, '.', '-', '_', at most " +
             std::to_string(kMaxClockNameBytes) + ")";
      return std::nullopt;
    }
    info.clock = clock->get<std::string>();
  }
  return info;
}

std::optional<RemoteBatch> ParseBatch(const std::string& payload, std::string* why) {
  if (payload.size() > kMaxBatchBytes) {
    *why = "a batch over 8 MiB";
    return std::nullopt;
  }
  if (payload.size() < 2) {
    *why = "a batch without a header";
    return std::nullopt;
  }
  RemoteBatch b;
  b.format = static_cast<int>(Little(payload, 0, 2));
  const size_t header = b.format == 2 ? 32 : b.format == 1 ? 24 : 0;
  if (header == 0) {
    *why = "a batch of format " + std::to_string(b.format);
    return std::nullopt;
  }
  if (payload.size() < header) {
    *why = "a batch shorter than its header";
    return std::nullopt;
  }
  b.channels = static_cast<uint16_t>(Little(payload, 2, 2));
  b.count = static_cast<uint32_t>(Little(payload, 4, 4));
  b.first = Little(payload, 8, 8);
  b.hostTimeUs = static_cast<int64_t>(Little(payload, 16, 8));
  if (b.format == 2) b.streamUs = static_cast<int64_t>(Little(payload, 24, 8));
  // In 64 bits: N x C x 4 cannot overflow from 32 and 16 bits.
  if (payload.size() != header + 4ull * b.count * b.channels) {
    *why = "a batch whose length is not its header's";
    return std::nullopt;
  }
  if (b.count == 0 || b.channels == 0) {
    *why = "an empty batch";
    return std::nullopt;
  }
  // Positions past 2^62 cannot be reached by any instrument, and keep every
  // sum below in range.
  if (b.first > (uint64_t(1) << 62)) {
    *why = "a batch at an impossible position";
    return std::nullopt;
  }
  b.values.resize(static_cast<size_t>(b.count) * b.channels);
  for (size_t k = 0; k < b.values.size(); ++k) {
    const uint32_t bits = static_cast<uint32_t>(Little(payload, header + 4 * k, 4));
    std::memcpy(&b.values[k], &bits, 4);
  }
  return b;
}

std::optional<RemoteEvent> ParseEvent(const std::string& payload, std::string* why) {
  const auto j = ParseObject(payload, kMaxEventBytes, why);
  if (!j) return std::nullopt;
  RemoteEvent e;
  if (!Text(*j, "event", true, &e.event, why) || !Position(*j, &e.position, why)) return std::nullopt;
  if (e.position > (uint64_t(1) << 62)) {
    *why = "an event at an impossible position";
    return std::nullopt;
  }
  const auto stream = j->find("stream");
  if (stream != j->end()) {
    if (!stream->is_number_integer()) {
      *why = "\"stream\" is not an integer";
      return std::nullopt;
    }
    e.stream = stream->get<int64_t>();
  }
  if (e.event == "gap") {
    const auto count = j->find("count");
    if (count == j->end() || (!count->is_null() && !count->is_number_unsigned())) {
      *why = "a gap's \"count\" is neither a whole number nor null";
      return std::nullopt;
    }
    if (!count->is_null()) e.count = count->get<uint64_t>();
  }
  if (e.event == "stop" || e.event == "lost") {
    if (!Text(*j, "reason", false, &e.reason, why)) return std::nullopt;
  }
  return e;
}

}  // namespace vozihost
