#pragma once
// Samples that never arrived, seen from the clock: a paced instrument sends
// one line per period, so fewer lines than the time allows means lines were
// lost on the way (the adapter, the pseudo-terminal, the library's ring).
//
// Every buffer on the way is a FIFO that drops at its tail when full. After
// a stall the lines that arrive first are the backlog, continuous with those
// before it; what was lost lies after that backlog, where the lines arrive at
// the instrument's pace again. So a shortfall is booked only once the backlog
// has been taken: when a drain found the ring full (lines were refused: the
// loss is certain), or when the count has kept trailing the time for a while
// (lines merely held up on the way arrive late, all at once, and are no loss).
#include <cstdint>
#include <optional>

namespace vozipy {

class ArrivalClock {
 public:
  // periodUs <= 0: the instrument offers no period, and nothing is counted.
  explicit ArrivalClock(int64_t periodUs) : periodUs_(periodUs) {}

  // After a drain at `now` (seconds on a monotonic clock): `lines` is every
  // line whose end has arrived so far (rows and damaged lines), `waiting`
  // the lines still held in the ring, `taken` those this drain took, and
  // `ringFull` whether the ring refused lines since the previous drain.
  void Drained(double now, uint64_t lines, uint64_t taken, double waiting, bool ringFull);

  uint64_t Missing() const { return missing_; }  // samples booked as never arrived
  uint64_t Gaps() const { return gaps_; }        // places where they were booked
  // Times the ring refused lines while the count did not trail the time:
  // lines were lost, but the clock cannot say how many.
  uint64_t Unsized() const { return unsized_; }
  // More lines arrived than the period allows: the instrument does not
  // stream at that period, and the clock cannot size any loss.
  bool FasterThanPeriod() const { return faster_; }

 private:
  double Period() const { return static_cast<double>(periodUs_) / 1e6; }
  void Book(double behind);

  int64_t periodUs_;
  std::optional<double> firstAt_;       // when the first line was sent, as estimated
  std::optional<double> trailingSince_;  // since when the count trails the time
  uint64_t missing_ = 0;
  uint64_t gaps_ = 0;
  uint64_t unsized_ = 0;
  bool faster_ = false;
};

}  // namespace vozipy
