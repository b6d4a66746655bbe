#pragma once
// Pacing of the data lines by absolute deadlines: sample n is due at
// base + (n - baseIndex) * period. Sleeping one period per line would drift
// by the wake-up latency of every sleep; deadlines do not, and a late wake-up
// simply finds several samples due and sends them as one batch.
#include <chrono>
#include <cstdint>

namespace vozisim {

class StreamClock {
 public:
  using Clock = std::chrono::steady_clock;

  // Sample 0 is due at `now`.
  void Start(Clock::time_point now, int64_t periodUs);
  // From sample `nextIndex` on, samples are due every periodUs from `now`.
  void ChangePeriod(Clock::time_point now, int64_t periodUs, uint64_t nextIndex);

  // How many samples (counted from 0) are due by `now`.
  uint64_t DueBy(Clock::time_point now) const;
  Clock::time_point DueAt(uint64_t n) const;
  std::chrono::nanoseconds Period() const { return period_; }

 private:
  Clock::time_point base_{};
  uint64_t baseIndex_ = 0;
  std::chrono::nanoseconds period_{1000000};
};

}  // namespace vozisim
