#pragma once
// Where samples are missing from one instrument's stream, and how many.
//
// Between the instrument and the tool every buffer (the adapter or
// pseudo-terminal, the library's receive ring) is a FIFO that drops at its
// tail when full. A burst of lines after a quiet spell is one of two events:
// - a buffer overflowed (the ring was found full, or the burst is as large
//   as the buffers hold, or the tool itself was held up meanwhile): the burst
//   is the oldest lines kept, continuous with those before, and what was
//   lost lies after it, where lines come in at the instrument's pace again;
// - nothing overflowed and the tool watched all along: the instrument was
//   silent, or lost lines itself, so the burst is the newest lines and what
//   is missing lies before it.
//
// The tool sees this through looks at the ring: before each read, when it
// looked and where the ring's text ended. The line that ends the ring's
// text at a look is the newest the library has, and it was sent no later
// than the look: its index is at most (look time - origin) / period, and
// close to it when it had just arrived (fresh). A look's shortfall is that
// bound less the position the line would get. It stays near zero while
// nothing is lost, whatever the tool's own backlog; it rises while the
// newest line is stale (the whole process stopped, the ring refusing lines)
// and falls back to the number lost once fresh lines arrive again. So the
// loss is booked where the shortfall first comes back down to its new
// level, with that level as its size; a stale stretch that comes back down
// to zero was only late.
//
// Lines wait here until their place is settled, then go on with the gap
// before each.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace vozihost {

class GapLocator {
 public:
  struct Released {
    std::string line;
    double at = 0;  // when the tool read it, seconds into the run
    // Samples missing before it: nullopt none, 0 some (how many is
    // unknown), else the count.
    std::optional<uint64_t> gap;
    bool ringFull = false;  // the ring was found full where the gap lies
  };
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void Release(Released& line) = 0;
  };

  // periodUs 0: no period, so no clock to count by; only lines after a full
  // ring are marked (as missing an unknown number).
  GapLocator(int64_t periodUs, Sink& sink) : periodUs_(periodUs), sink_(sink) {}

  // A look at the ring before a read: `end` counts every byte that entered
  // the ring so far (taken plus held), `full` whether it was found full.
  void Look(double at, uint64_t end, bool full);
  // A line taken from the ring; `end` as for Look, through this line's end.
  // mayFollowRefused: the ring may have refused lines just before it.
  void Line(std::string line, double at, uint64_t end, bool mayFollowRefused);
  // Releases every line whose place is settled. final: the stream ends, so
  // every line goes, on what is known now.
  void Settle(bool final);

  size_t HeldLines() const { return held_.size(); }
  // The number of lines held, or of samples booked as lost, so far.
  uint64_t Position() const { return position_ + held_.size(); }
  // The count of lines ran ahead of the clock by more than the tolerance:
  // the instrument streams faster than the period says.
  bool FasterThanPeriod() const { return faster_; }

 private:
  struct HeldLine {
    std::string line;
    double at;
    bool mayFollowRefused;
  };
  struct Interval {  // the lines up to one look's end
    size_t lines = 0;
    uint64_t end = 0;
    double at = 0;         // when the end was first seen
    double lastAt = 0;     // and last seen as the ring's end
    double shortfall = 0;  // at first sight
    bool full = false;
  };
  struct PendingLook {
    double at;
    double lastAt;
    uint64_t end;
    bool full;
  };
  struct Level {
    double level = 0;        // samples missing
    size_t fresh = 0;        // the interval of the first fresh look at it
    size_t lowerBefore = 0;  // intervals up to the last one below it (0: none)
  };
  // The level among the first `count` closed intervals.
  Level FindLevel(size_t count) const;
  // Where a level's missing lines lie when they came before a quiet spell's
  // end (the instrument silent, nothing overflowing on the way): the index
  // of the first held line after it. nullopt: the evidence says otherwise,
  // or cannot tell.
  std::optional<size_t> QuietBefore(const Level& found) const;
  // The shortfall when the end was last seen as the ring's newest line.
  double StaleShortfall(const Interval& i) const;
  void CloseInterval(const PendingLook& look);
  void ReleaseLines(size_t count, std::optional<uint64_t> gap, bool full);
  // How long a level must stay before it is taken as lines lost.
  double SettleSeconds(double level) const;

  int64_t periodUs_;
  Sink& sink_;
  uint64_t position_ = 0;  // of the next line to release
  std::deque<HeldLine> held_;
  std::deque<Interval> intervals_;   // closed, covering held_ from its front
  size_t openLines_ = 0;             // held lines after the last closed interval
  std::deque<PendingLook> looks_;    // looks whose end the tool has not read to yet
  std::optional<Interval> lastReleased_;
  uint64_t lastLookEnd_ = 0;
  uint64_t lastLineEnd_ = 0;  // the end of the last line taken
  bool fullSinceLastLook_ = false;
  std::optional<double> origin_, firstOrigin_;  // when sample 0 was sent, as bounded so far
  double originAt_ = 0;
  bool faster_ = false;
  double weighedAt_ = -1;  // when the looks were last weighed
};

}  // namespace vozihost
