#pragma once
// The enabler's sample text turned into rows of numbers, without any work
// per sample in Python. The text arrives in arbitrary pieces (whatever the
// receive ring held when it was drained); a line cut at the end of a piece
// is kept until its end arrives.
//
// A line is "@ ", the values of the streamed channels in channel order
// separated by commas, and a line end; one trailing comma is part of the
// format. A channel with a range carries 0..32767, one without carries its
// value as an integer. Lines that do not have that form (their start or some
// of their bytes were lost) give no row and are counted by kind.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vozipy {

// The full scale the enabler maps a channel's range onto.
inline constexpr double kFullScale = 32767.0;

struct ColumnScale {
  // The range the enabler scaled into 0..32767; absent when the instrument
  // gave none (its integers are then the values themselves).
  std::optional<float> minimum;
  std::optional<float> maximum;

  bool Scaled() const { return minimum && maximum; }
  // decoded / 32767 * (max - min) + min in double precision. A range whose
  // ends are equal carries no information: the value is that end.
  double ToPhysical(int32_t decoded) const;
  // One step of the scale: the resolution of the converted values.
  double Step() const;
};

struct LineCounts {
  uint64_t samples = 0;      // lines converted into rows
  uint64_t malformed = 0;    // lines that could not be converted, of which:
  uint64_t noPrefix = 0;     //   no "@ " at the start: the start of the line was lost
  uint64_t wrongCount = 0;   //   more or fewer values than channels: bytes lost or lines run together
  uint64_t badValue = 0;     //   a field that is no integer, or a scaled value outside 0..32767
};

class SampleConverter {
 public:
  explicit SampleConverter(std::vector<ColumnScale> columns);

  // Converts every complete line of `text` (after what an earlier call left
  // unfinished) into rows waiting to be taken.
  void Feed(std::string_view text);
  size_t Columns() const { return columns_.size(); }
  // Rows converted and not yet taken.
  size_t Ready() const { return (raw_.size() - head_) / Stride(); }
  // Takes `rows` rows (at most Ready()) into `out`, rows * Columns() values,
  // row after row: the enabler's integers, or physical values.
  void TakeRaw(size_t rows, int32_t* out);
  void TakePhysical(size_t rows, double* out);
  const LineCounts& Counts() const { return counts_; }
  const std::vector<ColumnScale>& Scales() const { return columns_; }

 private:
  // Longer than any line the enabler writes (26 values of 11 characters):
  // an unterminated run this long is damage and is counted as one line.
  static constexpr size_t kMaxLine = 65536;

  size_t Stride() const { return columns_.empty() ? 1 : columns_.size(); }
  void Line(std::string_view line);
  void Consume(size_t rows);

  std::vector<ColumnScale> columns_;
  std::vector<bool> scaled_;
  std::vector<int32_t> raw_;  // converted rows; the first head_ values are taken
  size_t head_ = 0;
  std::string partial_;       // an unfinished line from the previous piece
  LineCounts counts_;
};

}  // namespace vozipy
