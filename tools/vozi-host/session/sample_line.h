#pragma once
// The text lines the enabler writes while streaming: "@ ", the values of the
// enabled channels in increasing channel order separated by commas, a line
// feed (ReadLine removes it). A channel with a range carries 0..32767; one
// without carries its value truncated to an integer. A comma may follow the
// last value (after a missing sample, or when the last field is not enabled).
#include <cstdint>
#include <string_view>
#include <vector>

namespace vozihost {

enum class LineStatus {
  Ok,
  NoPrefix,     // does not start with "@ ": a line whose start was lost
  WrongCount,   // more or fewer values than enabled channels: bytes were lost
  NotANumber,   // a field that is not a decimal integer (also an empty field)
  OutOfRange,   // a scaled value outside 0..32767
};

// Parses one line into `values` (one per expected channel). `scaled[k]` tells
// whether the k-th expected channel is scaled; its size is the expected
// count. On any status but Ok the contents of `values` are unspecified.
LineStatus ParseSampleLine(std::string_view line, const std::vector<bool>& scaled,
                           std::vector<int32_t>& values);

const char* LineStatusText(LineStatus status);

}  // namespace vozihost
