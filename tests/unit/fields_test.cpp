// The comma split and the number reading every protocol line goes through.
#include "vozi/fields.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string_view>;

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

TEST(SplitFields, KeepsEmptyFieldsButNoTrailingOne) {
  EXPECT_EQ(splitFields("a,,b"), (Fields{"a", "", "b"}));
  EXPECT_EQ(splitFields(",a"), (Fields{"", "a"}));
  EXPECT_EQ(splitFields("a,b,"), (Fields{"a", "b"}));
  EXPECT_EQ(splitFields("a,,"), (Fields{"a", ""}));
  EXPECT_EQ(splitFields(""), Fields{});
  EXPECT_EQ(splitFields(","), Fields{""});
  EXPECT_EQ(splitFields(",,"), (Fields{"", ""}));
  EXPECT_EQ(splitFields("x"), Fields{"x"});
}

TEST(SplitFields, TrimsNothingAndKeepsOtherBytes) {
  EXPECT_EQ(splitFields(" a , b\t"), (Fields{" a ", " b\t"}));
  const std::string withHighBytes = "\xE9t\xE9,\x80";
  EXPECT_EQ(splitFields(withHighBytes), (Fields{"\xE9t\xE9", "\x80"}));
}

TEST(SplitFields, ReusedVectorHoldsOnlyTheNewLine) {
  std::vector<std::string_view> fields;
  splitFields("1,2,3,4,5", fields);
  splitFields("a,b", fields);
  EXPECT_EQ(fields, (Fields{"a", "b"}));
  splitFields("", fields);
  EXPECT_TRUE(fields.empty());
}

TEST(ParseNumber, ReadsLeadingNumberAndIgnoresTheRest) {
  EXPECT_EQ(parseNumber("7"), 7.0f);
  EXPECT_EQ(parseNumber(" 7"), 7.0f);
  EXPECT_EQ(parseNumber("7 V"), 7.0f);
  EXPECT_EQ(parseNumber("12abc"), 12.0f);
  EXPECT_EQ(parseNumber("-12.5e1x"), -125.0f);
  EXPECT_EQ(parseNumber("+.5"), 0.5f);
  EXPECT_EQ(parseNumber("\t\n\v\f\r 3"), 3.0f);
  EXPECT_EQ(parseNumber("2.5e-4"), 2.5e-4f);
  EXPECT_EQ(parseNumber("0x10"), 0.0f);  // the stream stops at the x
  EXPECT_EQ(parseNumber("1e5.3"), 1e5f);
  EXPECT_EQ(parseNumber("1.2.3"), 1.2f);
}

TEST(ParseNumber, NoNumberGivesTheLowestFloat) {
  EXPECT_EQ(Bits(kNotANumber), 0xFF7FFFFFu);
  EXPECT_EQ(kNotANumber, std::numeric_limits<float>::lowest());
  for (const char* text : {"", "   ", "x", "-", "+", ".", "-.", "e5", "1e", "1e+", "1e-", "inf", "nan", "+-5",
                           "\xA0" "5", "1e39", "-1e39"}) {
    EXPECT_EQ(Bits(parseNumber(text)), 0xFF7FFFFFu) << '"' << text << '"';
  }
}

TEST(ParseNumber, UnderflowIsZeroWithItsSignAndDenormalsSurvive) {
  EXPECT_EQ(Bits(parseNumber("1e-50")), 0x00000000u);
  EXPECT_EQ(Bits(parseNumber("-1e-50")), 0x80000000u);
  EXPECT_EQ(Bits(parseNumber("-0")), 0x80000000u);
  EXPECT_EQ(Bits(parseNumber("1.4e-45")), 0x00000001u);
  EXPECT_EQ(Bits(parseNumber("3.4028235e38")), 0x7F7FFFFFu);
}

TEST(TruncateToInt32, TruncatesTowardZeroAndMapsOutOfRangeToMin) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(TruncateToInt32(12.9f), 12);
  EXPECT_EQ(TruncateToInt32(-12.9f), -12);
  EXPECT_EQ(TruncateToInt32(-0.5f), 0);
  EXPECT_EQ(TruncateToInt32(2147483520.0f), 2147483520);  // largest float below 2^31
  EXPECT_EQ(TruncateToInt32(2147483648.0f), kMin);
  EXPECT_EQ(TruncateToInt32(-2147483648.0f), kMin);
  EXPECT_EQ(TruncateToInt32(-2147483904.0f), kMin);
  EXPECT_EQ(TruncateToInt32(kNotANumber), kMin);
  EXPECT_EQ(TruncateToInt32(std::numeric_limits<float>::quiet_NaN()), kMin);
}

}  // namespace
