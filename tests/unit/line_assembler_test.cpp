#include "serial/line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds chunks and returns the lines taken after each, as "text" or
// "text|lfcr" when a CR after the LF was taken along.
class Assembler {
 public:
  int32_t Feed(const std::string& bytes) {
    return assembler_.Append(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
  }
  std::vector<std::string> Take() {
    std::vector<std::string> lines;
    uint8_t out[LineAssembler::kSize];
    for (;;) {
      const ReceivedLine line = assembler_.TakeLine(out);
      if (line.consumed == 0) return lines;
      const bool lfCr = line.ending == ReceivedLine::Ending::LfCr;
      EXPECT_EQ(line.consumed, line.length + 1 + (lfCr ? 1 : 0));
      EXPECT_EQ(line.bytes[line.length], 0) << "line not terminated";
      lines.push_back(std::string(reinterpret_cast<const char*>(line.bytes), static_cast<size_t>(line.length)) +
                      (lfCr ? "|lfcr" : ""));
    }
  }
  LineAssembler assembler_;
};

TEST(LineAssembler, TakesCrLfLinesWithTheirCrAndKeepsPartialOnes) {
  Assembler a;
  a.Feed("S\r\nV,1,2");
  EXPECT_EQ(a.Take(), std::vector<std::string>{"S\r"});
  EXPECT_EQ(a.assembler_.Held(), 5);
  a.Feed(",3\r\nF\r\n");
  EXPECT_EQ(a.Take(), (std::vector<std::string>{"V,1,2,3\r", "F\r"}));
  EXPECT_EQ(a.assembler_.Held(), 0);
}

TEST(LineAssembler, LfCrEndingsAreRecognisedEvenWhenTheCrComesInALaterRead) {
  Assembler a;
  a.Feed("S\n");
  EXPECT_TRUE(a.Take().empty()) << "an LF without CR must wait for the next byte";
  a.Feed("\rV,1\n\r");
  EXPECT_EQ(a.Take(), (std::vector<std::string>{"S|lfcr", "V,1|lfcr"}));
}

TEST(LineAssembler, BareLfLinesAreTakenOnceAnotherByteFollows) {
  Assembler a;
  a.Feed("S\nX");
  EXPECT_EQ(a.Take(), std::vector<std::string>{"S"});
  a.Feed("\n\n");
  EXPECT_EQ(a.Take(), (std::vector<std::string>{"X", ""}));
}

TEST(LineAssembler, WrapsAroundTheEndOfItsStore) {
  Assembler a;
  const std::string filler(8000, 'a');
  a.Feed(filler + "\r\n");
  ASSERT_EQ(a.Take().size(), 1u);
  // The next line straddles index 8191 -> 0.
  const std::string line = std::string(500, 'b') + "\r\n";
  ASSERT_EQ(a.Feed(line), static_cast<int32_t>(line.size()));
  EXPECT_EQ(a.Take(), std::vector<std::string>{std::string(500, 'b') + "\r"});
}

TEST(LineAssembler, StoresNoMoreThan8191BytesAndReportsWhatItTook) {
  Assembler a;
  EXPECT_EQ(a.Feed(std::string(9000, 'x')), 8191);
  EXPECT_EQ(a.assembler_.Free(), 0);
  EXPECT_TRUE(a.assembler_.IsStalled());
}

TEST(LineAssembler, RecoversFromAnOverlongLineAtItsLf) {
  Assembler a;
  a.Feed(std::string(8191, 'x'));
  ASSERT_TRUE(a.assembler_.IsStalled());
  a.assembler_.DiscardStalledLine();
  EXPECT_EQ(a.assembler_.DiscardedLines(), 1u);
  // The rest of the long line is dropped up to its LF; the next line is whole.
  a.Feed(std::string(3000, 'x'));
  EXPECT_EQ(a.assembler_.Held(), 0);
  a.Feed("xx\r\nS\r\n");
  EXPECT_EQ(a.Take(), std::vector<std::string>{"S\r"});
}

}  // namespace
