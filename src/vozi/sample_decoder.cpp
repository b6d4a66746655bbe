#include "vozi/sample_decoder.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "serial/vozi_serial.h"
#include "vozi/device_description.h"
#include "vozi/fields.h"

namespace {

constexpr float kFullScale = 32767.0f;

void AppendDecimal(std::string& text, int32_t value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  text.append(digits, result.ptr);
}

}  // namespace

int32_t ScaleToFullRange(float value, float minimum, float maximum) {
  if (minimum > value) {
    value = minimum;
  } else if (value > maximum) {
    value = maximum;
  }
  // Equal ends would divide zero by zero.
  if (maximum == minimum) return 0;
  const float span = ToSingle(maximum - minimum);
  double scaled;
  if (std::isinf(span)) {
    // A range wider than a float can hold (say -3e38..3e38): in single
    // precision every value would scale to 0 or to inf / inf, so this one
    // case is scaled in double precision.
    scaled = (static_cast<double>(value) - minimum) / (static_cast<double>(maximum) - minimum) * kFullScale;
  } else {
    const float offset = ToSingle(value - minimum);
    scaled = ToSingle(ToSingle(offset / span) * kFullScale);
  }
  // Round half up; the scaled value is at most 32767, so adding 0.5 in double
  // is exact.
  const double rounded = std::floor(scaled + 0.5);
  if (rounded >= 0.0 && rounded <= kFullScale) return static_cast<int32_t>(rounded);
  return std::numeric_limits<int32_t>::min();
}

void SampleDecoder::RefreshEnabled(const DeviceDescription& description, size_t nameCount) {
  if (description.EnabledStamp() == enabledStamp_ && nameCount == enabledCount_) return;
  enabledStamp_ = description.CopyEnabled(static_cast<int32_t>(nameCount), enabledBits_);
  enabledCount_ = nameCount;
}

bool SampleDecoder::decodeDataLine(std::string_view line, int32_t channelCount,
                                   const DeviceDescription& description, std::string& text) {
  splitFields(line, fields_);
  const size_t fieldCount = fields_.size();
  if (static_cast<int64_t>(fieldCount) < channelCount) return false;
  const size_t nameCount = description.names.size();
  // The channel-count check of the handshake keeps the names within the
  // format line; a line short of them would be read past its end.
  if (nameCount > 1 && fieldCount < nameCount) return false;
  RefreshEnabled(description, nameCount);

  text.clear();
  text += "@ ";
  const std::vector<float>& minima = description.minima;
  const std::vector<float>& maxima = description.maxima;
  for (size_t i = 1; i < nameCount; ++i) {
    if (!IsEnabled(i)) continue;
    const std::string_view field = fields_[i];
    if (field == "*") {
      text += "0,";  // the comma comes with it, even after the last field
      continue;
    }
    const float value = parseNumber(field);
    // A minimum without a maximum gives no scale: the value goes unscaled.
    if (i < minima.size() && i < maxima.size()) {
      AppendDecimal(text, ScaleToFullRange(value, minima[i], maxima[i]));
    } else {
      AppendDecimal(text, TruncateToInt32(value));
    }
    if (i != nameCount - 1) text += ',';
  }
  text += '\n';
  return true;
}

HResult SampleDecoder::decodeDataLine(OpenKymo::VoziSerial& device, std::string_view line) {
  const DeviceDescription* description = device.ReaderDescription();
  ReceiveRing* ring = device.Ring();
  // Without a description there is nothing to decode against; without a ring
  // (a device never started) nowhere to put the text.
  if (description == nullptr || ring == nullptr) return kS_OK;
  if (decodeDataLine(line, device.channelCount.load(std::memory_order_relaxed), *description, text_)) {
    ring->PutLine(reinterpret_cast<const uint8_t*>(text_.data()), static_cast<int32_t>(text_.size()));
  }
  return kS_OK;
}
