#include "arrival_clock.h"

#include <algorithm>
#include <cmath>

namespace vozipy {
namespace {

// How long the count may trail the time before the lines are taken as lost,
// not late (a busy machine, the adapter's latency), and how far it may trail
// or lead at any moment: arrival jitter, never less than two samples. The
// same bounds as vozi-host's.
constexpr double kSettleSeconds = 0.5;
double Tolerance(double period) { return std::max(2.0, 0.5 / period); }

}  // namespace

void ArrivalClock::Drained(double now, uint64_t lines, uint64_t taken, double waiting, bool ringFull) {
  if (periodUs_ <= 0 || lines == 0) return;
  const double period = Period();
  if (!firstAt_) {
    // The first drain may find many lines waiting: sent at the instrument's
    // pace, the last of them just now.
    firstAt_ = now - (static_cast<double>(std::max<uint64_t>(taken, 1)) - 1 + waiting) * period;
  }
  const double expected = (now - *firstAt_) / period + 1 - waiting;
  const double behind = expected - static_cast<double>(lines + missing_);
  const double tolerance = Tolerance(period);
  // Half a second of samples ahead of the clock: no jitter explains that.
  if (behind < -tolerance) faster_ = true;
  if (ringFull) {
    // The ring refused lines: the loss is certain, and lies after the
    // backlog this drain took.
    trailingSince_.reset();
    if (behind >= 1) {
      Book(behind);
    } else {
      ++unsized_;
    }
    return;
  }
  if (behind <= tolerance) {
    trailingSince_.reset();
    return;
  }
  if (!trailingSince_) {
    trailingSince_ = now;
    return;
  }
  if (now - *trailingSince_ >= std::max(kSettleSeconds, 2 * period)) {
    trailingSince_.reset();
    Book(behind);
  }
}

void ArrivalClock::Book(double behind) {
  missing_ += static_cast<uint64_t>(std::llround(behind));
  ++gaps_;
}

}  // namespace vozipy
