// The line a simulator playing a recording prints for the host: what the
// player writes is what the tool reads, and nothing else passes for it.
#include <gtest/gtest.h>

#include "session/played_recording.h"
#include "vozi_sim/recording.h"

namespace vozihost {
namespace {

TEST(PlayedRecording, OnlyTheWholeLineIsRead) {
  const struct {
    const char* line;
    std::optional<PlayedRecording> expected;
  } cases[] = {
      {"play: 12000 lines, longest silence 4.001000 s", PlayedRecording{12000, 4.001, false}},
      {"play: 3 lines, longest silence 0.000000 s, looped", PlayedRecording{3, 0.0, true}},
      {"play: 3 lines, longest silence 0.5 s\r", PlayedRecording{3, 0.5, false}},
      {"ttyUSB0", std::nullopt},
      {"play: -3 lines, longest silence 4 s", std::nullopt},
      {"play: 3 lines, longest silence -1 s", std::nullopt},
      {"play: 3 lines, longest silence inf s", std::nullopt},
      {"play: 3 lines, longest silence 4", std::nullopt},
      {"play: 3 lines, longest silence 4 s, looped and more", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<PlayedRecording> got = ParsePlaySummary(c.line);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->lines, c.expected->lines);
    EXPECT_DOUBLE_EQ(got->longestSilence, c.expected->longestSilence);
    EXPECT_EQ(got->looped, c.expected->looped);
  }
}

// Rows at 0, 2, 3 and 4003 ms: the longest silence is the 4 s gap and the
// row after it; looped, the last row is followed by the first a period
// later.
TEST(PlayedRecording, ThePlayersLineGivesTheToolItsLinesAndLongestSilence) {
  vozisim::Recording r;
  const auto error = vozisim::ReadCsvRecording(
      "# period: 1000 us\ntime_s,ECG (mV),gap\n"
      "1.000000,1,0\n1.002000,2,1\n1.003000,3,0\n5.003000,4,3999\n",
      r);
  ASSERT_FALSE(error) << *error;
  for (const bool loop : {false, true}) {
    SCOPED_TRACE(loop ? "looped" : "once");
    r.loop = loop;
    const std::optional<PlayedRecording> read = ParsePlaySummary(vozisim::PlaySummary(r));
    ASSERT_TRUE(read) << vozisim::PlaySummary(r);
    EXPECT_EQ(read->lines, 4u);
    EXPECT_DOUBLE_EQ(read->longestSilence, 4.0);
    EXPECT_EQ(read->looped, loop);
  }
}

}  // namespace
}  // namespace vozihost
