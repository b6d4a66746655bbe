#pragma once
// The data lines the simulated instrument streams, computable for any sample
// index n (0, 1, 2, ... from the "B" that started the stream), so a test can
// predict every byte the instrument sends.
//
// Line format: "<time>,<v1>,...,<vN-1>[,<crc>]"
//  - time: n * period in seconds, printed "%llu.%06llu" (whole seconds, then
//    exactly six decimals), exact because the period is whole microseconds;
//  - values: the channel's waveform at n, printed like printf "%.6g" in the
//    classic locale whatever the process locale is; "*" for the configured
//    missing channel every missing-every-th sample;
//  - crc: when configured, CRC-16/CCITT-FALSE (polynomial 0x1021, initial
//    value 0xFFFF) of the bytes before ",<crc>", in decimal.
//
// Waveforms over a channel's span [low, high] with P = wave-period samples:
//   ramp      low + (high - low) * (n % P) / P
//   sine      mid + 0.4 * (high - low) * sin(2 pi (n % P) / P), mid = (low + high) / 2
//   square    low + 0.25 * (high - low) for n % P < P / 2, else low + 0.75 * (high - low)
//   counter   low + n % (floor(high - low) + 1)
//   constant  mid
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/description.h"
#include "vozi_sim/sim_config.h"

namespace vozisim {

// Builds data lines quickly for one configuration (the stream calls it once
// per sample; the free functions below build one on each call).
class SampleGenerator {
 public:
  explicit SampleGenerator(const SimConfig& cfg);

  // Value of field (>= 1) at sample n, before formatting.
  double Value(size_t field, uint64_t n) const;
  // Field texts of sample n, without the CRC field.
  std::vector<std::string> Fields(uint64_t n, int64_t periodUs) const;
  std::string Line(uint64_t n, int64_t periodUs) const;

  const std::vector<ChannelSpec>& Channels() const { return channels_; }

 private:
  void AppendField(std::string& line, size_t field, uint64_t n, int64_t periodUs) const;

  // Longer wave cycles are formatted afresh each time.
  static constexpr uint64_t kMaxCachedPhases = 1 << 16;

  std::vector<ChannelSpec> channels_;
  uint64_t wavePeriod_;
  size_t missingChannel_;
  uint64_t missingEvery_;
  bool crc_;
  // The text of each periodic field per phase, filled as first needed.
  mutable std::vector<std::vector<std::string>> phaseTexts_;
};

// The data line for sample n at the start period of cfg, or at periodUs.
std::string DataLine(const SimConfig& cfg, uint64_t n);
std::string DataLine(const SimConfig& cfg, uint64_t n, int64_t periodUs);
// The field texts of that line, CRC field excluded.
std::vector<std::string> DataFields(const SimConfig& cfg, uint64_t n);

// Number text as printf "%.6g" gives it in the classic locale.
std::string FormatValue(double value);
// Time text of sample n: n * periodUs microseconds as seconds, six decimals.
std::string TimeText(uint64_t n, int64_t periodUs);
uint16_t Crc16(std::string_view bytes);

// Range entry of a field as the host reads it: "na" is 32767 for a maximum
// and -32767 for a minimum, a number is itself. nullopt for other text.
std::optional<float> RangeValue(std::string_view text, bool isMaximum);

// The host's scaling of a value into 0..32767: clamp into [min, max], scale in
// single precision, add one half and round down. nullopt when max == min.
std::optional<int32_t> ScaleToDecoded(float value, float minimum, float maximum);
// The way back: the value a decoded 0..32767 integer stands for.
double DecodedToValue(int32_t decoded, double minimum, double maximum);
// The decoded integer a host should produce for field (>= 1) of sample n:
// 0 for a missing value, otherwise the scaled value of the text sent.
std::optional<int32_t> ExpectedDecoded(const SimConfig& cfg, size_t field, uint64_t n);

}  // namespace vozisim
