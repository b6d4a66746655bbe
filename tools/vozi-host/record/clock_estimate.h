#pragma once
// How far a sender's clock is from the recorder's, from four-timestamp
// exchanges (publish/clock_messages.h). An exchange's offset is exact when
// the request and the reply took equally long; its error is at most half
// its round trip, and a slow exchange is usually a lopsided one (a reply
// queued behind samples, a Wi-Fi retry). So the exchanges come in bursts (a
// few, spaced, every few seconds), each burst's is the one with the
// shortest round trip, and of the recent bursts only the better half by
// round trip counts, and of it none more than twice as slow as the fastest.
// A line through those follows the drift between the two clocks once they
// span long enough to tell a slope from the noise.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace vozihost {

struct ClockExchange {
  int64_t t1 = 0, t2 = 0, t3 = 0, t4 = 0;  // t1, t4 on the recorder's clock; t2, t3 on the sender's
  // The sender's clock ahead of the recorder's, in microseconds.
  double Offset() const { return ((static_cast<double>(t2 - t1)) + static_cast<double>(t3 - t4)) / 2.0; }
  int64_t RoundTrip() const { return (t4 - t1) - (t3 - t2); }
  // The recorder's time the exchange measures (the middle of its round trip).
  double At() const { return (static_cast<double>(t1) + static_cast<double>(t4)) / 2.0; }
};

struct ClockEstimate {
  double atUs = 0;      // on the recorder's clock
  double offsetUs = 0;  // the sender's clock ahead of the recorder's at atUs
  double drift = 0;     // the offset's change per microsecond (1e-6: 1 ppm)
  int64_t roundTripUs = 0;  // the shortest round trip among those used
  size_t used = 0;          // bursts the estimate rests on
  double boundUs = 0;       // offsetUs is at most this far from the true offset
  // The offset at recorder time t.
  double OffsetAt(double t) const { return offsetUs + drift * (t - atUs); }
  // A time on the sender's clock as the recorder's clock has it.
  int64_t ToRecorder(int64_t senderUs) const;
};

class ClockEstimator {
 public:
  // Bursts remembered (their best exchanges): a few minutes at one every few seconds.
  static constexpr size_t kMaxBursts = 64;
  // The span the kept bursts must cover before a slope is fitted.
  static constexpr double kDriftSpanUs = 20e6;
  // Beyond this, a fitted slope is taken for noise (quartz is within 100 ppm).
  static constexpr double kMaxDrift = 500e-6;

  // An exchange of burst `burst` (numbers that grow). False for one that
  // cannot be (a negative round trip, the sender answering before asked).
  bool Add(uint64_t burst, const ClockExchange& e);
  std::optional<ClockEstimate> Estimate() const;
  // Each remembered burst's best exchange, oldest first.
  struct Best {
    uint64_t burst;
    ClockExchange exchange;
  };
  const std::deque<Best>& Bests() const { return bests_; }
  uint64_t Exchanges() const { return exchanges_; }

 private:
  std::deque<Best> bests_;
  uint64_t exchanges_ = 0;
};

}  // namespace vozihost
