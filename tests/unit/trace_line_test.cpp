// Trace lines: whatever the wire carries, one event stays one line of text,
// cut to a bounded length with the full length noted, inside its buffer.
#include "trace/trace_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Quoted(const std::string& bytes, std::string_view ending = {}) {
  trace::TraceLine line;
  line.Quoted(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), ending);
  return std::string(line.Finish(12345678));
}

TEST(TraceLine, EscapesCutsAndStampsEveryKindOfInput) {
  const std::string shown(trace::TraceLine::kShownBytes, '@');
  const struct {
    std::string bytes, ending, line;
  } cases[] = {
      {"S\r", "\n", "12.345678 \"S\\r\\n\"\n"},
      {"", "\n\r", "12.345678 \"\\n\\r\"\n"},
      {std::string("a\0b\x7f\x80\xff\t", 7), "", "12.345678 \"a\\x00b\\x7f\\x80\\xff\\t\"\n"},
      {"say \"\\\"", "", "12.345678 \"say \\\"\\\\\\\"\"\n"},
      {shown, "", "12.345678 \"" + shown + "\"\n"},
      {shown.substr(1), "\n", "12.345678 \"" + shown.substr(1) + "\\n\"\n"},
      {shown.substr(1), "\n\r", "12.345678 \"" + shown.substr(1) + "\\n\"... (201 bytes)\n"},
      {shown + "@", "", "12.345678 \"" + shown + "\"... (201 bytes)\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(Quoted(c.bytes, c.ending), c.line);

  // The worst input (every byte escaped to four) still ends in its LF.
  const std::string worst = Quoted(std::string(100000, '\x01'));
  EXPECT_EQ(worst.back(), '\n');
  EXPECT_EQ(worst.find('\n'), worst.size() - 1);
  EXPECT_NE(worst.find("... (100000 bytes)"), std::string::npos);

  trace::TraceLine stamps;
  stamps.Text("x");
  EXPECT_EQ(stamps.Finish(0), "0.000000 x\n");
  trace::TraceLine longest;
  EXPECT_EQ(longest.Finish(UINT64_MAX), "18446744073709.551615 \n");
}

TEST(TraceLine, PortNamesKeepTheirEndAndEscapeTheRest) {
  const std::u16string long_name = u"/tmp/" + std::u16string(100, u'x') + u"/dev/ttyUSB3";
  const struct {
    std::u16string name;
    std::string shown;
  } cases[] = {
      {u"COM3", "COM3"},
      {u"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {u"caf\u00e9 \u20ac", "caf\\u00e9\\u0020\\u20ac"},
      {long_name, "..." + std::string(48 - 12, 'x') + "/dev/ttyUSB3"},
  };
  for (const auto& c : cases) {
    trace::TraceLine line;
    line.Name(c.name);
    EXPECT_EQ(line.FinishUnstamped(), c.shown + "\n");
  }
}

TEST(TraceLine, TextThatDoesNotFitIsCutNotOverrun) {
  const std::string big(5000, 'y');
  for (bool formatFirst : {true, false}) {
    trace::TraceLine line;
    auto format = [&line](const char* f, ...) {
      va_list arguments;
      va_start(arguments, f);
      line.Format(f, arguments);
      va_end(arguments);
    };
    if (formatFirst) format("%s", big.c_str()); else line.Text(big);
    format("%d", 7);  // no room left: nothing more, and no overrun
    line.Text("z");
    // The whole buffer: the stamp's room (24 bytes), the text, the LF.
    const std::string text(line.Finish(1));
    EXPECT_EQ(text, "0.000001 " + std::string(trace::TraceLine::kCapacity - 24 - 1, 'y') + "\n") << formatFirst;
  }
}

}  // namespace
