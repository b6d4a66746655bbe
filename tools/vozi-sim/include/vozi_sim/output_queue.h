#pragma once
// Bytes on their way to the host. Lines get their line end here, and the
// transmit faults are applied here: LF CR line ends, binary noise lines
// between lines, and single-byte writes with an optional pause between them.
// The writing itself goes through a sink, so the encoding can be checked
// without a pseudo-terminal.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vozi_sim/sim_config.h"

namespace vozisim {

class OutputQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Writes up to n bytes; returns the number written, 0 when the receiver is
  // full for now, and a negative number when it is gone.
  using Sink = std::function<long(const char* bytes, size_t n)>;

  explicit OutputQueue(const SimConfig& cfg);

  // Queues one line (text without line end). isData marks a data line for
  // the data-line count.
  void PushLine(std::string_view text, bool isData);
  void Clear();

  bool Empty() const { return chunks_.empty(); }
  size_t PendingBytes() const { return pendingBytes_; }

  enum class FlushResult { Done, Blocked, Paused, Failed };
  // Writes as much as the sink takes. Paused: a single-byte pause is running
  // until ResumeAt().
  FlushResult Flush(const Sink& sink, Clock::time_point now);
  std::optional<Clock::time_point> ResumeAt() const { return resumeAt_; }

  // Lines whose every byte has been written (noise lines not counted).
  uint64_t LinesWritten() const { return linesWritten_; }
  uint64_t DataLinesWritten() const { return dataLinesWritten_; }

  // The noise line that precedes the k-th noisy line: 1 to 16 bytes of
  // anything but CR and LF, then LF. A host never dispatches it because no
  // CR precedes its LF.
  static std::string NoiseLine(uint64_t k);

 private:
  struct Chunk {
    std::string bytes;
    size_t offset = 0;       // bytes already written
    uint32_t lines = 0;      // lines that end in this chunk
    uint32_t dataLines = 0;
  };
  void Append(std::string_view bytes, uint32_t lines, uint32_t dataLines);

  bool lfCr_;
  bool split_;
  std::chrono::microseconds splitGap_;
  uint64_t noiseEvery_;
  uint64_t linesPushed_ = 0;
  uint64_t noiseCount_ = 0;
  std::deque<Chunk> chunks_;
  size_t pendingBytes_ = 0;
  std::optional<Clock::time_point> resumeAt_;
  uint64_t linesWritten_ = 0;
  uint64_t dataLinesWritten_ = 0;
};

}  // namespace vozisim
