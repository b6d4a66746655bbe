#include "publish/clock_messages.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <random>

namespace vozihost {
namespace {

using Json = nlohmann::json;

bool NameCharacter(unsigned char c) { return std::isalnum(c) || c == '.' || c == '-' || c == '_'; }

std::optional<Json> SmallObject(const std::string& payload, std::string* why) {
  if (payload.size() > kMaxClockMessageBytes) {
    *why = "a clock message over " + std::to_string(kMaxClockMessageBytes) + " bytes";
    return std::nullopt;
  }
  // Flat objects only: anything nested is not ours, and is not parsed.
  if (payload.find_first_of("[") != std::string::npos ||
      std::count(payload.begin(), payload.end(), '{') > 1) {
    *why = "a clock message that is not a flat JSON object";
    return std::nullopt;
  }
  Json j = Json::parse(payload, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "a clock message that is not a JSON object";
    return std::nullopt;
  }
  return j;
}

bool Time(const Json& j, const char* key, int64_t* value) {
  const auto it = j.find(key);
  if (it == j.end() || !(it->is_number_integer() || it->is_number_unsigned())) return false;
  if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(kMaxClockTimeUs)) return false;
  *value = it->get<int64_t>();
  return *value >= 0 && *value <= kMaxClockTimeUs;
}

}  // namespace

bool ValidClockName(const std::string& name) {
  if (name.empty() || name.size() > kMaxClockNameBytes) return false;
  for (unsigned char c : name) {
    if (!NameCharacter(c)) return false;
  }
  return true;
}

const std::string& ProcessClockName() {
  static const std::string name = [] {
    char host[256] = {};
    std::string base;
    if (gethostname(host, sizeof host - 1) == 0) {
      for (unsigned char c : std::string(host)) base += NameCharacter(c) ? static_cast<char>(c) : '_';
    }
    if (base.empty()) base = "host";
    base = base.substr(0, 48);
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string random;
    for (int k = 0; k < 6; ++k) random += kLetters[device() % (sizeof kLetters - 1)];
    return base + "-" + std::to_string(getpid()) + "-" + random;
  }();
  return name;
}

std::string ClockRequestTopic(const std::string& prefix, const std::string& name) {
  return prefix + "/clock/" + name + "/request";
}

std::string ClockReplyBase(const std::string& prefix, const std::string& name) {
  return prefix + "/clock/" + name + "/reply/";
}

int64_t ClockNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ClockRequestPayload(const ClockRequest& r) { return Json{{"t1", r.t1}, {"reply", r.reply}}.dump(); }

std::string ClockReplyPayload(const ClockReply& r) {
  return Json{{"t1", r.t1}, {"t2", r.t2}, {"t3", r.t3}}.dump();
}

std::optional<ClockRequest> ParseClockRequest(const std::string& payload, const std::string& replyBase,
                                              std::string* why) {
  const auto j = SmallObject(payload, why);
  if (!j) return std::nullopt;
  ClockRequest r;
  const auto reply = j->find("reply");
  if (!Time(*j, "t1", &r.t1) || reply == j->end() || !reply->is_string()) {
    *why = "a clock request without an integer t1 and a reply topic";
    return std::nullopt;
  }
  r.reply = reply->get<std::string>();
  // Only where this clock's replies go: a request must not make the sender
  // publish anywhere else (into an instrument's topics, say).
  if (r.reply.size() <= replyBase.size() || r.reply.size() > kMaxClockReplyTopicBytes ||
      r.reply.compare(0, replyBase.size(), replyBase) != 0) {
    *why = "a clock request whose reply topic is not under " + replyBase;
    return std::nullopt;
  }
  for (size_t k = replyBase.size(); k < r.reply.size(); ++k) {
    const unsigned char c = static_cast<unsigned char>(r.reply[k]);
    if (c == '+' || c == '#' || c < 0x20 || c == 0x7f) {
      *why = "a clock request whose reply topic holds a wildcard or a control character";
      return std::nullopt;
    }
  }
  if (r.reply.back() == '/' || r.reply.find("//", replyBase.size() - 1) != std::string::npos) {
    *why = "a clock request whose reply topic has an empty level";
    return std::nullopt;
  }
  return r;
}

std::optional<ClockReply> ParseClockReply(const std::string& payload, std::string* why) {
  const auto j = SmallObject(payload, why);
  if (!j) return std::nullopt;
  ClockReply r;
  if (!Time(*j, "t1", &r.t1) || !Time(*j, "t2", &r.t2) || !Time(*j, "t3", &r.t3)) {
    *why = "a clock reply without integer times t1, t2 and t3 within 1970 to 9999";
    return std::nullopt;
  }
  if (r.t3 < r.t2 || r.t3 - r.t2 > 1000000) {
    *why = "a clock reply whose sender took less than nothing, or more than a second, to answer";
    return std::nullopt;
  }
  return r;
}

}  // namespace vozihost
