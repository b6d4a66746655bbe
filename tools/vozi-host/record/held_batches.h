#pragma once
// One stream's batches between their arrival and their writing, by first
// position. A batch waits `hold` for the events about it; a batch behind a
// hole (positions missing before it) waits longer, `lateWait`, for the
// batches that fill the hole: a bridge whose link came back delivers the
// queue it kept after newer batches, and a publisher may send what it kept
// while its broker was away after what it reads now. A hole the publisher
// itself announced (a gap of known size, batches it could not hand over) or
// that the recorder's own absence made is real, and does not wait.
//
// Memory is bounded: beyond `maxBytes` held, the oldest go out whether or
// not a hole before them has filled.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "record/remote_messages.h"

namespace vozihost {

using RecordClock = std::chrono::steady_clock;

struct HeldBatch {
  RemoteBatch batch;
  RecordClock::time_point arrived;
  size_t bytes = 0;  // what it costs held: its message's size
  uint64_t End() const { return batch.first + batch.count; }
};

class HeldBatches {
 public:
  // Where a batch that lies behind the newest one taken belongs.
  enum class Fit {
    Hole,         // into a hole not yet written: it is placed there
    Repeated,     // on samples held or written already: sent again
    Overlapping,  // partly on samples there, partly not: no publisher sends it
    PastWait,     // into a hole already written as a gap: it came too late
  };

  HeldBatches(std::chrono::milliseconds hold, std::chrono::milliseconds lateWait, size_t maxBytes)
      : hold_(hold), lateWait_(lateWait), maxBytes_(maxBytes) {}

  // For a batch with first < takenEnd (the end of the newest batch taken).
  Fit Place(const RemoteBatch& b, uint64_t takenEnd) const;
  void Hold(HeldBatch held);
  // The samples from `position` on, up to the next batch, will never come.
  void Lost(uint64_t position);
  // The next batch due to be written at `now` (every one with `all`), taken
  // out; nullopt when none is due.
  std::optional<HeldBatch> TakeDue(RecordClock::time_point now, bool all);
  // Whether a hole not known to be real lies before a held batch.
  bool HoleOpen() const;
  bool Empty() const { return held_.empty(); }
  RecordClock::time_point FirstArrived() const { return held_.begin()->second.arrived; }
  size_t Bytes() const { return bytes_; }
  void Clear();

 private:
  // Where the hole before the first held batch begins (nullopt: none).
  std::optional<uint64_t> HoleBeforeFirst() const;

  std::chrono::milliseconds hold_, lateWait_;
  size_t maxBytes_;
  std::map<uint64_t, HeldBatch> held_;
  size_t bytes_ = 0;
  std::optional<uint64_t> written_;     // after the last batch taken out
  std::map<uint64_t, uint64_t> gaps_;   // written as gaps: first position -> end
  std::set<uint64_t> lost_;             // holes known to be real, by first position
};

}  // namespace vozihost
