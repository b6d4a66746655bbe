#pragma once
// Time bounds on the monotonic clock: every bounded wait, and every loop that
// sleeps in steps until something happens, measures its bound here, so a
// bound means the same everywhere and a slow machine cannot stretch it (a
// loop that counted its sleeps would wait longer the more loaded it is).
#include <cstdint>

#include "platform/sync.h"

namespace platform {

// Microseconds since an arbitrary start; never goes back, not even when the
// wall clock is set. Fine-grained on both systems (Windows' tick count moves
// in 16 ms steps, too coarse to bound a 20 ms pass).
uint64_t MonotonicMicroseconds();
inline uint64_t MonotonicMs() { return MonotonicMicroseconds() / 1000; }

class Deadline {
 public:
  // Starts now; kInfinite never expires.
  explicit Deadline(uint32_t timeoutMs) : start_(MonotonicMs()), timeoutMs_(timeoutMs) {}

  bool Infinite() const { return timeoutMs_ == kInfinite; }
  uint64_t ElapsedMs() const { return MonotonicMs() - start_; }
  bool Expired() const { return !Infinite() && ElapsedMs() >= timeoutMs_; }
  // What is left, for a wait: 0 once expired, kInfinite for no bound.
  uint32_t RemainingMs() const {
    if (Infinite()) return kInfinite;
    const uint64_t elapsed = ElapsedMs();
    return elapsed >= timeoutMs_ ? 0 : static_cast<uint32_t>(timeoutMs_ - elapsed);
  }

 private:
  uint64_t start_;
  uint32_t timeoutMs_;
};

}  // namespace platform
