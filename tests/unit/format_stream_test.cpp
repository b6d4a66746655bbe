// Wide streams into NRV::String, and format texts with numbered placeholders.
#include "text/format_stream.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <string>

#include "text/string_stream.h"

namespace {

using NRV::endarg;
using NRV::OFormatStringStream;
using NRV::String;

TEST(OStringStream, ResultIsTheWrittenTextWithItsTerminator) {
  NRV::OStringStream out;
  EXPECT_EQ(out.Result().Interface(), String().Interface());  // nothing written
  out << L"value " << 42 << L'!';
  const String text = out.Result();
  EXPECT_EQ(text, u"value 42!");
  EXPECT_EQ(text.Chars()[text.Length()], u'\0');
  EXPECT_FALSE(text.IsShared());
}

TEST(OStringStream, AWrittenZeroEndsTheCount) {
  NRV::OStringStream out;
  out << L"ab" << L'\0';
  const String text = out.Result();
  EXPECT_EQ(text.Length(), 2u);
  EXPECT_EQ(text, u"ab");
}

TEST(OStringStream, GrowsByDoublingAndKeepsEveryUnit) {
  NRV::OStringStream out;
  std::u16string expected;
  for (int i = 0; i < 1000; ++i) {
    out << static_cast<wchar_t>(L'a' + i % 26);
    expected += static_cast<char16_t>(u'a' + i % 26);
  }
  const String text = out.Result();
  EXPECT_EQ(text.View(), expected);
  EXPECT_EQ(text.Capacity() & (text.Capacity() - 1), 0u);  // 64 doubled
}

TEST(OStringStream, UnicodeTextAndNarrowText) {
  NRV::OStringStream out;
  out << String(u"\u00E9\U0001F600") << NRV::AnsiText{"\x80z"} << NRV::AnsiText{nullptr};
  EXPECT_EQ(out.Result(), u"\u00E9\U0001F600\u20ACz");
}

TEST(ParseFormat, PlaceholdersEscapesAndTerminators) {
  const auto pieces = NRV::ParseFormat(u"a%1\\2b%%c%20%21%0%");
  ASSERT_EQ(pieces.size(), 5u);
  EXPECT_EQ(pieces[0].literal, u"a");
  EXPECT_EQ(pieces[1].placeholder, 1);
  EXPECT_EQ(pieces[2].literal, u"2b%c");
  EXPECT_EQ(pieces[3].placeholder, 20);
  EXPECT_EQ(pieces[4].literal, u"%21%0%");
}

TEST(ParseFormat, AtMostTwentyPlaceholders) {
  std::u16string format;
  for (int i = 0; i < 21; ++i) format += u"%1";
  const auto pieces = NRV::ParseFormat(format);
  ASSERT_EQ(pieces.size(), 21u);
  EXPECT_EQ(pieces[19].placeholder, 1);
  EXPECT_EQ(pieces[20].literal, u"%1");
}

TEST(OFormatStream, ArgumentsFillTheirPlaceholders) {
  OFormatStringStream out(String(u"%2 of %1, %2 again\\"));
  EXPECT_EQ(out.ArgumentCount(), 2);
  out << 10 << endarg << L"three" << endarg;
  EXPECT_EQ(out.Result(), u"three of 10, three again\\");
}

TEST(OFormatStream, BackslashLetsADigitFollowAPlaceholder) {
  OFormatStringStream out(String(u"%1\\0%% done"));
  out << 10 << endarg;
  EXPECT_EQ(out.Result(), u"100% done");
}

TEST(OFormatStream, FormatWithoutPlaceholdersIsCopiedUnchanged) {
  OFormatStringStream out(String(u"100%% sure"));
  out << L"ignored" << endarg;
  EXPECT_EQ(out.Result(), u"100%% sure");
}

TEST(OFormatStream, MissingAndSurplusArguments) {
  OFormatStringStream missing(String(u"[%1|%2]"));
  missing << L"one" << endarg;
  EXPECT_EQ(missing.Result(), u"[one|]");

  OFormatStringStream surplus(String(u"[%1]"));
  surplus << L"one" << endarg << L"two" << endarg;
  EXPECT_EQ(surplus.Result(), u"[one]");

  OFormatStringStream empty(String(u""));
  empty << L"x" << endarg;
  EXPECT_EQ(empty.Result(), u"");
}

TEST(OFormatStream, HexadecimalCodesAsTheLocaleWarningWritesThem) {
  OFormatStringStream out(String(u"separator '%1' (%2)"));
  out << String(u",,") << endarg;
  for (char16_t unit : std::u16string(u",,")) out << L' ' << std::hex << unsigned(unit);
  out << endarg;
  EXPECT_EQ(out.Result(), u"separator ',,' ( 2c 2c)");
}

}  // namespace
