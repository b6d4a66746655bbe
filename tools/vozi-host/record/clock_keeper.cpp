#include "record/clock_keeper.h"

#include <algorithm>
#include <cmath>

#include "publish/clock_messages.h"
#include "publish/mqtt_connection.h"

namespace vozihost {

using SteadyClock = std::chrono::steady_clock;

ClockKeeper::ClockKeeper(MqttConnection& connection, std::string prefix)
    : connection_(connection), prefix_(std::move(prefix)), id_(ProcessClockName()) {}

ClockKeeper::~ClockKeeper() { Stop(); }

std::string ClockKeeper::ReplyFilter() const { return prefix_ + "/clock/+/reply/" + id_; }

void ClockKeeper::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void ClockKeeper::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

namespace {

// A burst: `count` exchanges, the first now.
template <typename Clock>
void BeginBurst(Clock& c, int count, SteadyClock::time_point now) {
  c.leftInBurst = count;
  ++c.burst;
  c.answeredThisBurst = false;
  c.nextExchange = now;
}

}  // namespace

void ClockKeeper::Know(const std::string& name) {
  if (!ValidClockName(name)) return;
  {
    std::lock_guard lock(mutex_);
    const auto now = SteadyClock::now();
    auto it = clocks_.find(name);
    if (it == clocks_.end()) {
      if (clocks_.size() >= kMaxClocks) {
        ++ignored_;
        return;
      }
      it = clocks_.emplace(name, Clock{}).first;
      it->second.knownAt = now;
      BeginBurst(it->second, kFirstBurst, now);
    } else if (it->second.silentBursts >= kSilentBursts && it->second.leftInBurst == 0) {
      // Heard of again (a marker from a sender that answers while it is
      // there): one more burst.
      it->second.silentBursts = kSilentBursts - 1;
      BeginBurst(it->second, kBurst, now);
    } else {
      return;
    }
  }
  wake_.notify_all();
}

void ClockKeeper::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    const auto now = SteadyClock::now();
    auto next = now + std::chrono::seconds(1);
    for (auto& [name, c] : clocks_) {
      // Requests whose reply is overdue will not count.
      for (auto p = c.pending.begin(); p != c.pending.end();) {
        p = now - p->second.second > kReplyWait ? c.pending.erase(p) : std::next(p);
      }
      if (c.leftInBurst == 0) {
        if (c.silentBursts >= kSilentBursts) continue;
        if (now < c.nextExchange) {
          next = std::min(next, c.nextExchange);
          continue;
        }
        // The last burst is judged as the next is due: no reply at all.
        if (!c.answeredThisBurst && ++c.silentBursts >= kSilentBursts) continue;
        BeginBurst(c, kBurst, now);
      }
      if (now < c.nextExchange) {
        next = std::min(next, c.nextExchange);
        continue;
      }
      if (!connection_.Connected()) {
        c.leftInBurst = 0;
        c.answeredThisBurst = true;  // not the clock's fault
        c.nextExchange = now + kBurstEvery;
        next = std::min(next, c.nextExchange);
        continue;
      }
      if (!c.firstAsked) c.firstAsked = now;
      // Every t1 differs, so that a reply finds its request.
      const int64_t t1 = std::max(ClockNowUs(), lastT1_ + 1);
      lastT1_ = t1;
      if (c.pending.size() < 64) c.pending[t1] = {c.burst, now};
      ++c.asked;
      --c.leftInBurst;
      c.nextExchange = now + (c.leftInBurst > 0 ? std::chrono::milliseconds(kSpacing) : kBurstEvery);
      next = std::min(next, c.nextExchange);
      const std::string topic = ClockRequestTopic(prefix_, name);
      const std::string payload = ClockRequestPayload(ClockRequest{t1, ClockReplyBase(prefix_, name) + id_});
      // Without the lock: the reply may come on the network thread at once.
      lock.unlock();
      connection_.PublishQuick(topic, payload);
      lock.lock();
      if (stop_) return;
    }
    wake_.wait_until(lock, next, [&] {
      if (stop_) return true;
      const auto t = SteadyClock::now();
      for (const auto& [name, c] : clocks_) {
        if (c.leftInBurst > 0 && c.nextExchange <= t) return true;
      }
      return false;
    });
  }
}

bool ClockKeeper::IsReply(const std::string& topic) const {
  const std::string head = prefix_ + "/clock/", tail = "/reply/" + id_;
  return topic.size() > head.size() + tail.size() && topic.compare(0, head.size(), head) == 0 &&
         topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0;
}

void ClockKeeper::Reply(const std::string& topic, const std::string& payload, int64_t t4) {
  const std::string head = prefix_ + "/clock/", tail = "/reply/" + id_;
  if (!IsReply(topic)) return;
  const std::string name = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  std::string why;
  const auto reply = ParseClockReply(payload, &why);
  std::lock_guard lock(mutex_);
  if (!reply) {
    ++malformed_;
    return;
  }
  const auto it = clocks_.find(name);
  if (it == clocks_.end()) return;
  Clock& c = it->second;
  // Only a reply to a request of ours still waiting: one reply per request.
  const auto p = c.pending.find(reply->t1);
  if (p == c.pending.end()) return;
  const uint64_t burst = p->second.first;
  c.pending.erase(p);
  if (!c.estimator.Add(burst, ClockExchange{reply->t1, reply->t2, reply->t3, t4})) {
    ++malformed_;
    return;
  }
  ++c.answered;
  if (burst == c.burst) c.answeredThisBurst = true;
  c.silentBursts = 0;
}

bool ClockKeeper::ReadyLocked(const Clock& c, SteadyClock::time_point now) const {
  if (now >= c.knownAt + kLongestWait) return true;
  if (!c.firstAsked) return false;
  // The first burst's replies all in (or overdue), or nothing will come.
  const auto firstBurstOver = *c.firstAsked + kSpacing * kFirstBurst + kReplyWait / 4;
  if (c.estimator.Estimate() && (now >= firstBurstOver || c.estimator.Exchanges() >= kFirstBurst)) return true;
  return c.silentBursts >= 1 || now >= *c.firstAsked + kBurstEvery;
}

bool ClockKeeper::Ready(const std::string& name) const {
  if (!ValidClockName(name)) return true;
  std::lock_guard lock(mutex_);
  const auto it = clocks_.find(name);
  if (it == clocks_.end()) return true;
  return ReadyLocked(it->second, SteadyClock::now());
}

ClockMap::Mapped ClockKeeper::ToRecorder(const std::string& name, int64_t senderUs) const {
  Mapped m{senderUs, std::nullopt};
  std::lock_guard lock(mutex_);
  const auto it = clocks_.find(name);
  if (it == clocks_.end()) return m;
  if (const auto e = it->second.estimator.Estimate()) {
    m.us = e->ToRecorder(senderUs);
    m.offsetUs = static_cast<double>(senderUs - m.us);
  }
  return m;
}

uint64_t ClockKeeper::Malformed() const {
  std::lock_guard lock(mutex_);
  return malformed_;
}

nlohmann::ordered_json ClockKeeper::Summary() const {
  using Json = nlohmann::ordered_json;
  std::lock_guard lock(mutex_);
  Json clocks = Json::array();
  for (const auto& [name, c] : clocks_) {
    Json exchanges = Json::array();
    for (const ClockEstimator::Best& b : c.estimator.Bests()) {
      exchanges.push_back(Json{{"time_utc_us", std::llround(b.exchange.At())},
                               {"offset_us", std::llround(b.exchange.Offset() * 10) / 10.0},
                               {"round_trip_us", b.exchange.RoundTrip()}});
    }
    Json estimate = nullptr;
    if (const auto e = c.estimator.Estimate()) {
      estimate = Json{{"time_utc_us", std::llround(e->atUs)},
                      {"offset_us", std::llround(e->offsetUs * 10) / 10.0},
                      {"drift_ppm", std::llround(e->drift * 1e6 * 1000) / 1000.0},
                      {"round_trip_us", e->roundTripUs},
                      {"bound_us", std::llround(e->boundUs * 10) / 10.0},
                      {"bursts_used", e->used}};
    }
    clocks.push_back(Json{{"clock", name},
                          {"asked", c.asked},
                          {"answered", c.answered},
                          {"estimate", std::move(estimate)},
                          {"exchanges", std::move(exchanges)}});
  }
  return clocks;
}

}  // namespace vozihost
