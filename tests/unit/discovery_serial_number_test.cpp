// Recognising a Vozi instrument by its adapter's serial number, and the
// identifier derived from it.
#include <gtest/gtest.h>

#include "discovery/device_probe.h"
#include "discovery/serial_number.h"

namespace {

using discovery::ExtractSerial;
using discovery::HasVoziPrefix;
using discovery::VoziRemainder;

std::u16string Extracted(std::u16string text, char16_t separator = u'+') {
  ExtractSerial(text, separator);
  return text;
}

TEST(ExtractSerial, TakesTheTextAfterTheLastSeparatorCutBeforeTheFirstBackslash) {
  EXPECT_EQ(Extracted(u"FTDIBUS\\VID_0403+PID_6001+ZOR12345A\\0000"), u"ZOR12345A");
  EXPECT_EQ(Extracted(u"ACPI\\PNP0501\\1"), u"ACPI");
  EXPECT_EQ(Extracted(u"A+B+C"), u"C");
  EXPECT_EQ(Extracted(u"USB\\VID_10C4&PID_EA60\\0001"), u"USB");
}

TEST(ExtractSerial, EdgesGiveTheEmptyTextOrLeaveItWhole) {
  EXPECT_EQ(Extracted(u"FTDIBUS\\VID_0403+PID_6001+"), u"");
  EXPECT_EQ(Extracted(u"FTDIBUS\\VID_0403+PID_6001+\\0000"), u"");
  EXPECT_EQ(Extracted(u"\\ZOR1"), u"");
  EXPECT_EQ(Extracted(u"ZOR12345A"), u"ZOR12345A");
  EXPECT_EQ(Extracted(u""), u"");
  // Only the separator it is given counts.
  EXPECT_EQ(Extracted(u"A+B&C", u'&'), u"C");
}

TEST(VoziSerialNumber, PrefixIsExactAndCaseSensitive) {
  EXPECT_TRUE(HasVoziPrefix(u"ZOR12345A"));
  EXPECT_TRUE(HasVoziPrefix(u"D800123456"));
  EXPECT_TRUE(HasVoziPrefix(u"ZOR"));
  const char16_t* const others[] = {u"zor12345A", u"Zor12345A", u"ZOr1", u"d800123456", u"D8O0123",
                                     u"D80", u"ZO", u"", u"ACPI", u"FT9XYZ12A", u" ZOR12345"};
  for (size_t i = 0; i < std::size(others); ++i) {
    EXPECT_FALSE(HasVoziPrefix(others[i])) << "case " << i;
  }
}

TEST(VoziSerialNumber, RemainderDropsThreeCharactersWhicheverPrefixMatched) {
  EXPECT_EQ(VoziRemainder(u"ZOR12345A"), u"12345A");
  // "D800" also loses only three characters: its 0 stays.
  EXPECT_EQ(VoziRemainder(u"D800123456"), u"0123456");
  EXPECT_EQ(VoziRemainder(u"ZOR12"), u"12");
  EXPECT_EQ(VoziRemainder(u"D8001"), u"01");
  EXPECT_EQ(VoziRemainder(u"zor12345A"), std::nullopt);
}

TEST(VoziSerialNumber, RemainderShorterThanTwoCharactersIsRejected) {
  // Its middle would start beyond its end.
  EXPECT_EQ(VoziRemainder(u"ZOR"), std::nullopt);
  EXPECT_EQ(VoziRemainder(u"ZOR1"), std::nullopt);
  EXPECT_EQ(VoziRemainder(u"D800"), std::nullopt);
}

TEST(UniqueIdFromSerial, WorkedValues) {
  EXPECT_EQ(UniqueIdFromSerial(u"12345A"), 130);
  EXPECT_EQ(UniqueIdFromSerial(u"0123456"), 3658);  // 2*1764 + 3*42 + 4
  EXPECT_EQ(UniqueIdFromSerial(u"12345"), 3);
  EXPECT_EQ(UniqueIdFromSerial(u"1234"), 0);
  EXPECT_EQ(UniqueIdFromSerial(u"12"), 0);
  // Three characters: the middle runs from position 2 to the end.
  EXPECT_EQ(UniqueIdFromSerial(u"123"), 3);
  // The first two and the last two characters play no part.
  EXPECT_EQ(UniqueIdFromSerial(u"54321A"), 128);
  EXPECT_EQ(UniqueIdFromSerial(u"99345Z"), 130);
}

TEST(UniqueIdFromSerial, LettersCountFromTheDigitZero) {
  EXPECT_EQ(UniqueIdFromSerial(u"00A00"), 17);
  EXPECT_EQ(UniqueIdFromSerial(u"00Z00"), 42);
  EXPECT_EQ(UniqueIdFromSerial(u"00z00"), 74);
  EXPECT_EQ(UniqueIdFromSerial(u"00Z0000000"), 1194064448);
}

TEST(UniqueIdFromSerial, CharactersBelowTheDigitZeroCountNegative) {
  EXPECT_EQ(UniqueIdFromSerial(u"00/00"), -1);
  EXPECT_EQ(UniqueIdFromSerial(u"00 !00"), -16 * 42 - 15);
}

TEST(UniqueIdFromSerial, WrapsAroundAsThirtyTwoBitTwosComplement) {
  EXPECT_EQ(UniqueIdFromSerial(u"00zzzzz00"), 235881734);  // still fits
  EXPECT_EQ(UniqueIdFromSerial(u"00zzzzzz00"), 1317098310);
  EXPECT_EQ(UniqueIdFromSerial(u"00zzzzzzz00"), -516445754);
  EXPECT_EQ(UniqueIdFromSerial(u"00zzzzzzzz00"), -215885114);
}

TEST(UniqueIdFromSerial, TooShortForAMiddleGivesZero) {
  EXPECT_EQ(UniqueIdFromSerial(u""), 0);
  EXPECT_EQ(UniqueIdFromSerial(u"7"), 0);
}

}  // namespace
