#pragma once
// Samples collected into one "samples" message: a 32-byte header (format,
// channel count, sample count, position of the first sample, the host's
// clock when it read that sample, the start of the stream it belongs to),
// then the values as float32, sample by sample, channel by channel; all
// little-endian (docs/streaming.md). The stream's start travels in every
// batch because MQTT orders messages per topic only: a subscriber cannot tell
// from arrival order whether a batch came before or after a new "info". A batch
// holds consecutive positions only: a gap ends it, so that a subscriber sees
// every gap as a jump between batches.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vozihost {

inline constexpr uint16_t kSamplesFormat = 2;
inline constexpr size_t kSamplesHeaderBytes = 32;

class SampleBatch {
 public:
  SampleBatch(size_t channels, uint32_t maxSamples) : channels_(channels), max_(maxSamples) {}

  // The stream the next batches belong to: its start, microseconds since 1970.
  void SetStream(int64_t streamUs) { streamUs_ = streamUs; }

  bool Empty() const { return count_ == 0; }
  bool Full() const { return count_ >= max_; }
  uint64_t First() const { return first_; }
  uint32_t Count() const { return count_; }
  // Where the next sample belongs if it follows without a gap.
  uint64_t Next() const { return first_ + count_; }
  int64_t HostTimeUs() const { return hostTimeUs_; }

  // Appends a sample; the first of a batch sets its position and time. The
  // caller takes the batch first when `position` is not Next().
  void Add(uint64_t position, int64_t hostTimeUs, const std::vector<double>& values);
  // The message, and an empty batch.
  std::string Take();

 private:
  size_t channels_;
  uint32_t max_;
  uint64_t first_ = 0;
  uint32_t count_ = 0;
  int64_t hostTimeUs_ = 0;
  int64_t streamUs_ = 0;
  std::string bytes_;
};

}  // namespace vozihost
