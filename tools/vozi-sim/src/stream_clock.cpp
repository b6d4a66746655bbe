#include "vozi_sim/stream_clock.h"

namespace vozisim {

void StreamClock::Start(Clock::time_point now, int64_t periodUs) {
  ChangePeriod(now, periodUs, 0);
}

void StreamClock::ChangePeriod(Clock::time_point now, int64_t periodUs, uint64_t nextIndex) {
  base_ = now;
  baseIndex_ = nextIndex;
  period_ = std::chrono::microseconds(periodUs > 0 ? periodUs : 1);
}

uint64_t StreamClock::DueBy(Clock::time_point now) const {
  if (now < base_) return baseIndex_;
  return baseIndex_ + static_cast<uint64_t>((now - base_) / period_) + 1;
}

StreamClock::Clock::time_point StreamClock::DueAt(uint64_t n) const {
  if (n <= baseIndex_) return base_;
  return base_ + period_ * static_cast<int64_t>(n - baseIndex_);
}

}  // namespace vozisim
