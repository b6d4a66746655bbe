#pragma once
// While streaming, every line of the instrument is a data line: one value per
// field of its format line. The decoder turns it into one line of the text the
// host reads from the receive ring: "@ ", then for each enabled field from 1
// to N - 1 (N = number of channel names) its value and a comma (none after
// field N - 1), then a line feed. A field with a range is scaled to 0..32767;
// a field without one is written as its integer part; "*" (no value) is
// written "0,".
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hresult.h"

class DeviceDescription;
namespace OpenKymo {
class VoziSerial;
}

// Scales a value to 0..32767 over [minimum, maximum]: clamped to the range,
// scaled in single precision, rounded half up. A range whose ends are equal
// has no scale and gives 0. A range so wide that its span overflows the float
// is scaled in double precision instead, so its values still land in
// 0..32767.
int32_t ScaleToFullRange(float value, float minimum, float maximum);

class SampleDecoder {
 public:
  // The pure core: the ring text of one data line into `text` (its storage
  // is reused). False, with `text` unspecified, when the line is dropped: it
  // has fewer fields than the instrument's format line (channelCount), or too
  // few for the channel names.
  bool decodeDataLine(std::string_view line, int32_t channelCount, const DeviceDescription& description,
                      std::string& text);

  // The reader thread's step: decodes the line against the device's
  // description and puts the text into its ring as a whole line (the ring
  // drops and counts a line that does not fit). Always kS_OK.
  HResult decodeDataLine(OpenKymo::VoziSerial& device, std::string_view line);

 private:
  bool IsEnabled(size_t index) const { return (enabledBits_[index / 64] >> (index % 64)) & 1u; }
  void RefreshEnabled(const DeviceDescription& description, size_t nameCount);

  std::vector<std::string_view> fields_;
  // The description's enabled set as a bitmap over 0..nameCount-1, copied
  // again only when the description's stamp moves on.
  std::vector<uint64_t> enabledBits_;
  uint64_t enabledStamp_ = 0;  // no description's stamp is 0
  size_t enabledCount_ = 0;
  std::string text_;
};
