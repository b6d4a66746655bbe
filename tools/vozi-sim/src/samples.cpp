#include "vozi_sim/samples.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace vozisim {

SampleGenerator::SampleGenerator(const SimConfig& cfg)
    : channels_(ResolveChannels(cfg)),
      wavePeriod_(cfg.wavePeriod ? cfg.wavePeriod : 1),
      missingChannel_(static_cast<size_t>(cfg.missingChannel < 0 ? 0 : cfg.missingChannel)),
      missingEvery_(cfg.missingEvery),
      crc_(cfg.crc),
      phaseTexts_(channels_.size()) {}

double SampleGenerator::Value(size_t field, uint64_t n) const {
  const ChannelSpec& c = channels_.at(field);
  const double span = c.high - c.low;
  const double mid = (c.low + c.high) / 2.0;
  const uint64_t phase = n % wavePeriod_;
  switch (c.wave) {
    case Waveform::Ramp:
      return c.low + span * static_cast<double>(phase) / static_cast<double>(wavePeriod_);
    case Waveform::Sine:
      return mid + 0.4 * span *
                       std::sin(2.0 * std::numbers::pi * static_cast<double>(phase) /
                                static_cast<double>(wavePeriod_));
    case Waveform::Square:
      return phase < wavePeriod_ / 2 ? c.low + 0.25 * span : c.low + 0.75 * span;
    case Waveform::Counter: {
      const uint64_t modulus = static_cast<uint64_t>(std::floor(span)) + 1;
      return c.low + static_cast<double>(n % modulus);
    }
    case Waveform::Constant:
      break;
  }
  return mid;
}

void SampleGenerator::AppendField(std::string& line, size_t field, uint64_t n, int64_t periodUs) const {
  if (field == 0) {
    line += TimeText(n, periodUs);
    return;
  }
  if (field == missingChannel_ && missingEvery_ > 0 && n % missingEvery_ == missingEvery_ - 1) {
    line += '*';
    return;
  }
  // A waveform repeats every wavePeriod_ samples, and so does its text:
  // formatting it once per phase lets a burst outpace the fastest host.
  if (channels_.at(field).wave != Waveform::Counter && wavePeriod_ <= kMaxCachedPhases) {
    std::vector<std::string>& texts = phaseTexts_[field];
    if (texts.empty()) texts.resize(static_cast<size_t>(wavePeriod_));
    std::string& text = texts[static_cast<size_t>(n % wavePeriod_)];
    if (text.empty()) text = FormatValue(Value(field, n));
    line += text;
    return;
  }
  line += FormatValue(Value(field, n));
}

std::vector<std::string> SampleGenerator::Fields(uint64_t n, int64_t periodUs) const {
  std::vector<std::string> fields;
  fields.reserve(channels_.size());
  for (size_t i = 0; i < channels_.size(); ++i) {
    fields.emplace_back();
    AppendField(fields.back(), i, n, periodUs);
  }
  return fields;
}

std::string SampleGenerator::Line(uint64_t n, int64_t periodUs) const {
  std::string line;
  line.reserve(16 * channels_.size());
  for (size_t i = 0; i < channels_.size(); ++i) {
    if (i) line += ',';
    AppendField(line, i, n, periodUs);
  }
  if (crc_) {
    const uint16_t crc = Crc16(line);
    line += ',';
    line += std::to_string(crc);
  }
  return line;
}

std::string DataLine(const SimConfig& cfg, uint64_t n) {
  return DataLine(cfg, n, StartPeriodMicros(cfg).value_or(1000));
}

std::string DataLine(const SimConfig& cfg, uint64_t n, int64_t periodUs) {
  return SampleGenerator(cfg).Line(n, periodUs);
}

std::vector<std::string> DataFields(const SimConfig& cfg, uint64_t n) {
  return SampleGenerator(cfg).Fields(n, StartPeriodMicros(cfg).value_or(1000));
}

std::string FormatValue(double value) {
  // std::to_chars with a precision is printf's %.*g in the classic locale; a
  // host that changed the process locale must not turn our "." into ",".
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
  if (ec != std::errc()) return "0";
  std::string text(buf, end);
  return text == "-0" ? "0" : text;
}

std::string TimeText(uint64_t n, int64_t periodUs) {
  const uint64_t us = n * static_cast<uint64_t>(periodUs);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%llu.%06llu", static_cast<unsigned long long>(us / 1000000),
                static_cast<unsigned long long>(us % 1000000));
  return buf;
}

uint16_t Crc16(std::string_view bytes) {
  uint16_t crc = 0xFFFF;
  for (unsigned char b : bytes) {
    crc = static_cast<uint16_t>(crc ^ (b << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

std::optional<float> RangeValue(std::string_view text, bool isMaximum) {
  if (text == "na") return isMaximum ? 32767.0f : -32767.0f;
  float v = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<int32_t> ScaleToDecoded(float value, float minimum, float maximum) {
  if (!(maximum != minimum)) return std::nullopt;
  float v = value;
  if (minimum > v) {
    v = minimum;
  } else if (v > maximum) {
    v = maximum;
  }
  // Single precision for the scaling, then the half in double precision:
  // exactly the host's arithmetic, so the result matches bit for bit.
  const float r = ((v - minimum) / (maximum - minimum)) * 32767.0f;
  return static_cast<int32_t>(std::floor(static_cast<double>(r) + 0.5));
}

double DecodedToValue(int32_t decoded, double minimum, double maximum) {
  return minimum + (maximum - minimum) * static_cast<double>(decoded) / 32767.0;
}

std::optional<int32_t> ExpectedDecoded(const SimConfig& cfg, size_t field, uint64_t n) {
  std::vector<ChannelSpec> channels = ResolveChannels(cfg);
  if (field == 0 || field >= channels.size()) return std::nullopt;
  const std::string text = DataFields(cfg, n).at(field);
  if (text == "*") return 0;
  const ChannelSpec& c = channels[field];
  const auto minimum = RangeValue(c.minimum, false);
  const auto maximum = RangeValue(c.maximum, true);
  if (!minimum || !maximum) return std::nullopt;
  float v = 0;
  std::from_chars(text.data(), text.data() + text.size(), v);
  return ScaleToDecoded(v, *minimum, *maximum);
}

}  // namespace vozisim
