// The text lines of the enabler's stream, as vozi-host takes them apart.
#include <gtest/gtest.h>

#include "session/sample_line.h"

namespace vozihost {
namespace {

const std::vector<bool> kThreeScaled = {true, true, true};

TEST(SampleLine, ReadsScaledValuesWithOrWithoutTrailingComma) {
  std::vector<int32_t> v;
  EXPECT_EQ(ParseSampleLine("@ 0,16384,32767", kThreeScaled, v), LineStatus::Ok);
  EXPECT_EQ(v, (std::vector<int32_t>{0, 16384, 32767}));
  // The enabler leaves a comma after the last value when the last field is
  // not enabled, and after a missing value ("0,") at the end.
  EXPECT_EQ(ParseSampleLine("@ 0,16384,", {true, true}, v), LineStatus::Ok);
  EXPECT_EQ(v, (std::vector<int32_t>{0, 16384}));
  EXPECT_EQ(ParseSampleLine("@ 7,1,0,", kThreeScaled, v), LineStatus::Ok);
  EXPECT_EQ(v, (std::vector<int32_t>{7, 1, 0}));
}

TEST(SampleLine, UnscaledChannelsTakeAnySigned32BitValue) {
  std::vector<int32_t> v;
  EXPECT_EQ(ParseSampleLine("@ -2147483648,12,-12", {false, false, false}, v), LineStatus::Ok);
  EXPECT_EQ(v, (std::vector<int32_t>{INT32_MIN, 12, -12}));
  // The same negative value on a scaled channel cannot come from the enabler.
  EXPECT_EQ(ParseSampleLine("@ -12", {true}, v), LineStatus::OutOfRange);
  EXPECT_EQ(ParseSampleLine("@ 32768", {true}, v), LineStatus::OutOfRange);
  EXPECT_EQ(ParseSampleLine("@ 2147483648", {false}, v), LineStatus::NotANumber);
}

TEST(SampleLine, NoChannelsEnabledIsTheBarePrefix) {
  std::vector<int32_t> v = {5};
  EXPECT_EQ(ParseSampleLine("@ ", {}, v), LineStatus::Ok);
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(ParseSampleLine("@ 1", {}, v), LineStatus::WrongCount);
}

TEST(SampleLine, LinesDamagedByDroppedBytesAreRejected) {
  std::vector<int32_t> v;
  // Start lost (the ring dropped bytes and the rest of a line follows).
  EXPECT_EQ(ParseSampleLine("384,32767", kThreeScaled, v), LineStatus::NoPrefix);
  EXPECT_EQ(ParseSampleLine("", kThreeScaled, v), LineStatus::NoPrefix);
  EXPECT_EQ(ParseSampleLine("@0,1,2", kThreeScaled, v), LineStatus::NoPrefix);
  // Values lost, or two lines run together without their line end.
  EXPECT_EQ(ParseSampleLine("@ 1,2", kThreeScaled, v), LineStatus::WrongCount);
  EXPECT_EQ(ParseSampleLine("@ 1,2,3,4", kThreeScaled, v), LineStatus::WrongCount);
  EXPECT_EQ(ParseSampleLine("@ ,", kThreeScaled, v), LineStatus::WrongCount);
  EXPECT_EQ(ParseSampleLine("@ 1,2@ 3,4,5", kThreeScaled, v), LineStatus::NotANumber);
  // Anything the enabler never writes in a value.
  EXPECT_EQ(ParseSampleLine("@ 1,,3", kThreeScaled, v), LineStatus::NotANumber);
  EXPECT_EQ(ParseSampleLine("@ 1,2,3,,", kThreeScaled, v), LineStatus::WrongCount);
  EXPECT_EQ(ParseSampleLine("@ +1,2,3", kThreeScaled, v), LineStatus::NotANumber);
  EXPECT_EQ(ParseSampleLine("@ 1, 2,3", kThreeScaled, v), LineStatus::NotANumber);
  EXPECT_EQ(ParseSampleLine("@ 1,2,3\r", kThreeScaled, v), LineStatus::NotANumber);
  EXPECT_EQ(ParseSampleLine("@ 1.5,2,3", kThreeScaled, v), LineStatus::NotANumber);
}

}  // namespace
}  // namespace vozihost
