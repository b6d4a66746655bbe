// Code-page conversions with Windows' rules, and the host-boundary helpers
// that write narrow text into a caller's buffer.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "text/text_conversion.h"

namespace {

using platform::NarrowToWide;
using platform::WideToNarrow;

std::u16string Wide(std::string_view bytes, uint32_t codePage) {
  const auto result = NarrowToWide(bytes, codePage);
  EXPECT_TRUE(result.has_value());
  return result.value_or(u"<failed>");
}

std::string Narrow(std::u16string_view text, uint32_t codePage) {
  const auto result = WideToNarrow(text, codePage);
  EXPECT_TRUE(result.has_value());
  return result.value_or("<failed>");
}

TEST(CodePage1252, HighHalfAndUndefinedBytes) {
  EXPECT_EQ(Wide("\x80\x81\x8D\x8F\x90\x9D\x9F\xA0\xFF", platform::kCP_ACP),
            u"\u20AC\u0081\u008D\u008F\u0090\u009D\u0178\u00A0\u00FF");
  EXPECT_EQ(Wide("\x8A\x9A\x99", platform::kCP_THREAD_ACP), u"\u0160\u0161\u2122");
}

TEST(CodePage1252, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (uint32_t cp : {platform::kCP_ACP, platform::kCP_THREAD_ACP, platform::kCP_Windows1252}) {
    const std::u16string wide = Wide(all, cp);
    ASSERT_EQ(wide.size(), all.size());
    EXPECT_EQ(Narrow(wide, cp), all);
  }
}

TEST(CodePage1252, UnmappableUnitsBecomeQuestionMarks) {
  EXPECT_EQ(Narrow(u"a\u0100b\u0080c\u4E2D", platform::kCP_ACP), "a?b?c?");
  EXPECT_EQ(Narrow(u"\U0001F600", platform::kCP_ACP), "??");  // one per unit
}

TEST(CodePageUtf8, WellFormedTextBothWays) {
  const std::string bytes = "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x9F\x98\x80";
  const std::u16string text = u"A\u007F\u0080\u07FF\u0800\uFFFF\U0001F600";
  EXPECT_EQ(Wide(bytes, platform::kCP_UTF8), text);
  EXPECT_EQ(Narrow(text, platform::kCP_UTF8), bytes);
}

TEST(CodePageUtf8, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    std::string bytes;
    std::u16string expected;
  };
  for (const Case& c : {
           Case{"\x80", u"\uFFFD"},                          // lone continuation
           Case{"\xC0\xAF", u"\uFFFD\uFFFD"},                // overlong
           Case{"a\xE2\x82", u"a\uFFFD"},                    // cut short at the end
           Case{"\xE2\x82" "A", u"\uFFFD" "A"},              // the interrupting byte survives
           Case{"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},      // encoded surrogate
           Case{"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
           Case{"\xF5\xFF", u"\uFFFD\uFFFD"},
           Case{"\xF0\x9F\x98", u"\uFFFD"},
       }) {
    EXPECT_EQ(Wide(c.bytes, platform::kCP_UTF8), c.expected);
  }
}

TEST(CodePageUtf8, LoneSurrogatesEncodeAsReplacement) {
  EXPECT_EQ(Narrow(u"a\xD800" u"b", platform::kCP_UTF8), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xDC00)), platform::kCP_UTF8), "\xEF\xBF\xBD");
  EXPECT_EQ(Narrow(std::u16string(1, char16_t(0xD83D)), platform::kCP_UTF8), "\xEF\xBF\xBD");
}

TEST(CodePageOther, ThroughIconvByNumber) {
  EXPECT_EQ(Wide("\x82\x9C", 437), u"\u00E9\u00A3");
  EXPECT_EQ(Narrow(u"\u00E9\u20AC", 437), "\x82?");
  EXPECT_EQ(Wide("\x93\xFA\x96\x7B", 932), u"\u65E5\u672C");
  EXPECT_EQ(Narrow(u"\u65E5\u672C", 932), "\x93\xFA\x96\x7B");
  EXPECT_EQ(Wide("a\x93", 932), u"a\uFFFD");  // lead byte without its trail
}

TEST(CodePageOther, UnknownCodePageFails) {
  EXPECT_FALSE(NarrowToWide("abc", 12345).has_value());
  EXPECT_FALSE(WideToNarrow(u"abc", 12345).has_value());
}

TEST(CodePageEmpty, EmptyInputGivesEmptyOutput) {
  for (uint32_t cp : {platform::kCP_ACP, platform::kCP_UTF8, 437u}) {
    EXPECT_EQ(Narrow(u"", cp), "");
    EXPECT_EQ(Wide("", cp), u"");
  }
}

TEST(WideLowerCase, AsciiOnlyUpToTheTerminatorWithinTheCapacity) {
  char16_t text[8] = u"AbC\u00C9";
  text[5] = u'Z';  // after the terminator: not part of the text
  platform::WideLowerInPlace(text, 8);
  EXPECT_EQ(std::u16string(text), u"abc\u00C9");
  EXPECT_EQ(text[5], u'Z');

  char16_t unterminated[3] = {u'A', u'B', u'C'};
  platform::WideLowerInPlace(unterminated, 3);
  EXPECT_EQ(std::u16string(unterminated, 3), u"ABC");
}

// A buffer with guard bytes after the part the callee may use.
struct GuardedBuffer {
  explicit GuardedBuffer(size_t usable) : size(usable) { bytes.fill('#'); }
  std::array<char, 32> bytes;
  size_t size;
  char* data() { return bytes.data(); }
  bool GuardsIntact() const {
    for (size_t i = size; i < bytes.size(); ++i) {
      if (bytes[i] != '#') return false;
    }
    return true;
  }
};

TEST(WideToNarrowBuffer, EmptyTextLeavesTheBufferUntouched) {
  GuardedBuffer buffer(10);
  EXPECT_EQ(NRV::WideToNarrowBuffer(u"", buffer.data(), buffer.size, platform::kCP_UTF8),
            NRV::NarrowCopy::Failed);
  EXPECT_EQ(buffer.bytes[0], '#');
}

TEST(WideToNarrowBuffer, ExactFitIsComplete) {
  GuardedBuffer buffer(4);
  EXPECT_EQ(NRV::WideToNarrowBuffer(u"abc", buffer.data(), buffer.size, platform::kCP_UTF8),
            NRV::NarrowCopy::Complete);
  EXPECT_EQ(std::memcmp(buffer.data(), "abc", 4), 0);
  EXPECT_TRUE(buffer.GuardsIntact());
}

TEST(WideToNarrowBuffer, TooSmallIsCutAtACharacterAndTerminated) {
  struct Case {
    std::u16string text;
    size_t size;
    std::string expected;
  };
  for (const Case& c : {
           Case{u"abc", 3, "ab"},
           Case{u"abc", 1, ""},
           Case{u"a\u00E9\u20AC", 6, "a\xC3\xA9"},  // needs 7: the euro's 3 bytes do not fit
           Case{u"a\u00E9\u20AC", 4, "a\xC3\xA9"},
           Case{u"a\u00E9\u20AC", 3, "a"},          // half of the e-acute is never written
           Case{u"a\U0001F600", 5, "a"},            // the pair is not split into a U+FFFD
           Case{u"ab\U0001F600c", 7, "ab\xF0\x9F\x98\x80"},
       }) {
    GuardedBuffer buffer(c.size);
    EXPECT_EQ(NRV::WideToNarrowBuffer(c.text, buffer.data(), buffer.size, platform::kCP_UTF8),
              NRV::NarrowCopy::Truncated);
    EXPECT_EQ(std::string(buffer.data()), c.expected) << "buffer of " << c.size;
    EXPECT_TRUE(buffer.GuardsIntact()) << "buffer of " << c.size;
  }
}

TEST(WideToNarrowBuffer, NoRoomAtAllOrFailedConversionWritesNothing) {
  GuardedBuffer none(0);
  EXPECT_EQ(NRV::WideToNarrowBuffer(u"abc", none.data(), 0, platform::kCP_UTF8),
            NRV::NarrowCopy::Failed);
  EXPECT_TRUE(none.GuardsIntact());
  GuardedBuffer buffer(10);
  EXPECT_EQ(NRV::WideToNarrowBuffer(u"abc", buffer.data(), buffer.size, 12345),
            NRV::NarrowCopy::Failed);
  EXPECT_EQ(buffer.bytes[0], '#');
}

TEST(NarrowToWideCounted, ByteCountsAndFailures) {
  std::u16string out = u"untouched";
  EXPECT_TRUE(NRV::NarrowToWideCounted("abcdef", 3, out, platform::kCP_ACP));
  EXPECT_EQ(out, u"abc");
  EXPECT_TRUE(NRV::NarrowToWideCounted("\x80xyz", 0, out, platform::kCP_ACP));  // to the zero
  EXPECT_EQ(out, u"\u20ACxyz");

  out = u"untouched";
  EXPECT_FALSE(NRV::NarrowToWideCounted("", 0, out, platform::kCP_ACP));
  EXPECT_FALSE(NRV::NarrowToWideCounted(nullptr, 4, out, platform::kCP_ACP));
  EXPECT_FALSE(NRV::NarrowToWideCounted("abc", 3, out, 12345));
  EXPECT_EQ(out, u"untouched");
}

}  // namespace
