#pragma once
// The recorder's side of the clock exchanges: every sender clock it hears
// of (an instrument's info, a marker) is asked in bursts, one as soon as it
// is heard of and then every few seconds while it answers; the answers
// arrive on the network thread, stamped there, and feed each clock's
// estimator. The recording asks for times mapped onto the recorder's clock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "record/clock_estimate.h"

namespace vozihost {

class MqttConnection;

// What a recording needs of the clocks (none at all: times taken as sent).
class ClockMap {
 public:
  virtual ~ClockMap() = default;
  // A sender's clock named in a message: to be measured (once more, soon, if
  // it had fallen silent).
  virtual void Know(const std::string& name) = 0;
  // Whether what is known of the clock is worth waiting for no longer: a
  // first burst answered, or no answer in time (or no such clock).
  virtual bool Ready(const std::string& name) const = 0;
  struct Mapped {
    int64_t us = 0;                   // on the recorder's clock
    std::optional<double> offsetUs;   // the sender's clock ahead by; nullopt: not measured (taken as 0)
  };
  virtual Mapped ToRecorder(const std::string& name, int64_t senderUs) const = 0;
};

class ClockKeeper final : public ClockMap {
 public:
  static constexpr size_t kMaxClocks = 1024;
  static constexpr int kFirstBurst = 8;       // exchanges, for a clock just heard of
  static constexpr int kBurst = 5;            // then every kBurstEvery
  static constexpr std::chrono::milliseconds kSpacing{15};
  static constexpr std::chrono::milliseconds kBurstEvery{2000};
  static constexpr std::chrono::milliseconds kReplyWait{1000};  // a later reply does not count
  static constexpr int kSilentBursts = 3;     // unanswered in a row: the clock is asked no more
  // The longest anything waits for a clock's first measurement (the broker
  // may be away just then).
  static constexpr std::chrono::milliseconds kLongestWait{5000};

  ClockKeeper(MqttConnection& connection, std::string prefix);
  ~ClockKeeper() override;
  // The filter the recorder subscribes (QoS 0) for the replies to it.
  std::string ReplyFilter() const;
  void Start();
  void Stop();
  // On the network thread: whether the topic is a reply to this recorder,
  // and the reply itself with t4, its arrival on this clock.
  bool IsReply(const std::string& topic) const;
  void Reply(const std::string& topic, const std::string& payload, int64_t t4);

  void Know(const std::string& name) override;
  bool Ready(const std::string& name) const override;
  Mapped ToRecorder(const std::string& name, int64_t senderUs) const override;
  // Per clock: what was asked and answered, the best exchange of each recent
  // burst, and the estimate used; for session.json.
  nlohmann::ordered_json Summary() const;
  uint64_t Malformed() const;

 private:
  struct Clock {
    ClockEstimator estimator;
    std::chrono::steady_clock::time_point knownAt{};
    std::optional<std::chrono::steady_clock::time_point> firstAsked;
    std::chrono::steady_clock::time_point nextExchange{};
    int leftInBurst = 0;
    uint64_t burst = 0;
    bool answeredThisBurst = false;
    int silentBursts = 0;
    uint64_t asked = 0, answered = 0;
    std::map<int64_t, std::pair<uint64_t, std::chrono::steady_clock::time_point>> pending;  // t1 -> burst, sent
  };
  void Run();
  bool ReadyLocked(const Clock& c, std::chrono::steady_clock::time_point now) const;

  MqttConnection& connection_;
  std::string prefix_, id_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, Clock> clocks_;
  uint64_t malformed_ = 0;
  uint64_t ignored_ = 0;  // clocks beyond kMaxClocks
  int64_t lastT1_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vozihost
