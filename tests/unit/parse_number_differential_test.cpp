// parseNumber against its definition, the classic-locale stream read, bit for
// bit: hand-picked texts at every rule of the stream's number scan, then many
// random ones.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "vozi/fields.h"

namespace {

::testing::AssertionResult SameAsStream(const std::string& text) {
  const uint32_t fast = std::bit_cast<uint32_t>(parseNumber(text));
  const uint32_t reference = std::bit_cast<uint32_t>(parseNumberReference(text));
  if (fast == reference) return ::testing::AssertionSuccess();
  char detail[64];
  std::snprintf(detail, sizeof detail, "%08X, stream gives %08X", fast, reference);
  return ::testing::AssertionFailure() << "text \"" << text << "\" gives " << detail;
}

TEST(ParseNumberDifferential, HandPickedTexts) {
  const char* const texts[] = {
      "", " ", "\t", "\n", "\v", "\f", "\r", " \t\n\v\f\r1", "\xA0" "1", "\x85" "1", "1 ", "1\t2",
      "0", "-0", "+0", "00012", "-000", "0.", ".0", "0.000", "-.0",
      "1", "+1", "-1", "1.5", "-1.5", "+.5", ".5", "5.", "-5.",
      ".", "-", "+", "-.", "+.", "..5", "1..5", "1.2.3", "--1", "+-1", "-+1",
      "1e", "1E", "1e+", "1e-", "1e5", "1E5", "1e+5", "1e-5", "1e+-5", "1ee5", "1e5e5", "1e5.3", "1.e5", ".e5",
      "e5", "E5", "-e5", "0e5", "0e", "0e+", "0.e1", "00e2", "1e0005", "1e-0005",
      "0x10", "0X1p3", "inf", "-inf", "INF", "nan", "NaN", "infinity", "1,5", "1_000", "12abc", "7 V",
      "3.4028235e38", "3.4028236e38", "3.40282356779733661637539395458142568447e38",
      "3.40282356779733661637539395458142568448e38", "-3.4028235e38", "1e38", "1e39", "-1e39", "1e300",
      "1.17549435e-38", "1.1754942e-38", "1e-40", "1.4e-45", "1.401298464e-45", "7e-46", "7.006e-46",
      "7.1e-46", "1e-46", "-1e-46", "1e-50", "-1e-50", "1e-400",
      "1e99999999999999999999999", "-1e99999999999999999999999", "1e-99999999999999999999999",
      "0e99999999999999999999999", "0.0000000000000000000000000000000000000000000000001e60",
      "1000000000000000000000000000000000000000", "123456789012345678901234567890",
      "16777217", "16777216.5", "0.1", "0.3", "2.5e-4", "0.001", "0.01", "1e6", "2147483648", "-2147483649",
  };
  for (const char* text : texts) EXPECT_TRUE(SameAsStream(text));
}

TEST(ParseNumberDifferential, LongDigitStrings) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::string text = (round % 2) ? "-" : "";
    const int integerDigits = static_cast<int>(random() % 60);
    for (int i = 0; i < integerDigits; ++i) text += static_cast<char>('0' + random() % 10);
    if (round % 3 != 0) {
      text += '.';
      const int fractionDigits = static_cast<int>(random() % 80);
      for (int i = 0; i < fractionDigits; ++i) text += static_cast<char>('0' + random() % 10);
    }
    if (round % 4 == 0) text += "e" + std::to_string(static_cast<int>(random() % 120) - 60);
    EXPECT_TRUE(SameAsStream(text));
  }
  // Halfway between two floats, decided only by a digit far out.
  EXPECT_TRUE(SameAsStream("16777217.000000000000000000000000000000000000001"));
  EXPECT_TRUE(SameAsStream("16777217.000000000000000000000000000000000000000"));
  EXPECT_TRUE(SameAsStream(std::string(5000, '9')));
  EXPECT_TRUE(SameAsStream("0." + std::string(5000, '0') + "1e5000"));
}

TEST(ParseNumberDifferential, RandomTextsFromTheScanAlphabet) {
  // Every character the scan treats specially, plus bytes it must not.
  static const char kAlphabet[] = " \t\n\v\f\r0123456789..ee+-EXxinfa,*\x80\xA0\xFF";
  std::mt19937 random(12345);
  for (int round = 0; round < 60000; ++round) {
    const int length = static_cast<int>(random() % 14);
    std::string text;
    for (int i = 0; i < length; ++i) text += kAlphabet[random() % (sizeof kAlphabet - 1)];
    ASSERT_TRUE(SameAsStream(text));
  }
}

TEST(ParseNumberDifferential, RandomFloatsPrintedManyWays) {
  std::mt19937 random(99);
  const char* const formats[] = {"%.*e", "%.*g", "%.*f", "%+.*E"};
  for (int round = 0; round < 40000; ++round) {
    const float value = std::bit_cast<float>(static_cast<uint32_t>(random()));
    if (!std::isfinite(value)) continue;
    char text[400];
    const int precision = static_cast<int>(random() % 12);
    std::snprintf(text, sizeof text, formats[round % 4], precision, static_cast<double>(value));
    ASSERT_TRUE(SameAsStream(text));
  }
}

}  // namespace
