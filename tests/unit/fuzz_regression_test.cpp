// Inputs the fuzz targets (tests/fuzz) found to break an invariant, kept as
// plain tests so that the fault stays mended; each comment gives the
// reproducer in the fuzz corpus.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "vozi/device_description.h"
#include "vozi/sample_decoder.h"

namespace {

// The ring text of one ranged field (index 1) between the given ends,
// enabled; "dropped" when the decoder writes nothing.
std::string DecodeRanged(std::string_view maximum, std::string_view minimum, std::string_view value) {
  DeviceDescription description;
  description.parseNamesLine("Time,Value");
  description.parseMaximaLine("na," + std::string(maximum));
  description.parseMinimaLine("na," + std::string(minimum));
  description.EnableChannel(1);
  SampleDecoder decoder;
  std::string text;
  if (!decoder.decodeDataLine("0," + std::string(value), 2, description, text)) return "dropped";
  return text;
}

// Found by fuzz_decoder (tests/fuzz/corpus/decoder/odd_ranges reproduces it):
// a range whose span exceeds the largest float (here -3e38..3e38, which an
// instrument can declare and a non-numeric "minimum" almost reaches) makes
// the single-precision span infinite. A large value then scales to
// infinity / infinity and the host is handed -2147483648 for a channel that
// promises 0..32767; every smaller value reads 0. The scaled value must stay
// the nearest integer to (v - min) / (max - min) * 32767, for example by
// computing the span in double precision when the float one overflows.
TEST(FuzzRegression, RangedValueStaysInRangeWhenTheSpanOverflowsAFloat) {
  EXPECT_EQ(DecodeRanged("3e38", "-3e38", "1e38"), "@ 21845\n");   // 21844.67
  EXPECT_EQ(DecodeRanged("3e38", "-3e38", "-1e38"), "@ 10922\n");  // 10922.33
  EXPECT_EQ(DecodeRanged("3e38", "-3e38", "0"), "@ 16384\n");      // 16383.5, half up
  EXPECT_EQ(DecodeRanged("3e38", "-3e38", "3e38"), "@ 32767\n");
  EXPECT_EQ(DecodeRanged("3e38", "-3e38", "-3e38"), "@ 0\n");
}

// The same channel with a span that still fits a float is unaffected; this
// guards the fix against changing the single-precision definition.
TEST(FuzzRegression, RangedValueWithAFiniteSpanKeepsItsSinglePrecisionScale) {
  EXPECT_EQ(DecodeRanged("1e38", "-1e38", "0"), "@ 16384\n");
  EXPECT_EQ(DecodeRanged("1e38", "-1e38", "5e37"), "@ 24575\n");  // 24575.25
  EXPECT_EQ(DecodeRanged("100", "0", "11.0065002"), "@ 3607\n");  // exactly 3606.5 in single precision
}

}  // namespace
