// Counting what went wrong, and judging the assumed period.
#include <gtest/gtest.h>

#include "stream_stats.h"

namespace vozihost {
namespace {

TEST(StreamStats, EveryBadLineCountsOnceAsDroppedAndOnceByKind) {
  StreamStats s;
  s.Count(LineStatus::Ok);
  s.Count(LineStatus::NoPrefix);
  s.Count(LineStatus::WrongCount);
  s.Count(LineStatus::WrongCount);
  s.Count(LineStatus::NotANumber);
  s.Count(LineStatus::OutOfRange);
  s.ringOverflows = 2;
  EXPECT_EQ(s.samples, 1u);
  EXPECT_EQ(s.malformed, 5u);
  EXPECT_EQ(s.noPrefix, 1u);
  EXPECT_EQ(s.wrongCount, 2u);
  EXPECT_EQ(s.badValue, 2u);
  EXPECT_EQ(s.Dropped(), 7u);
  EXPECT_EQ(ProgressText(s, 0.5), "1 samples  2.0/s  0.5 s  dropped 7");
}

TEST(StreamStats, RateJudgedOnlyWithEnoughEvidence) {
  EXPECT_FALSE(RateContradictsPeriod(1000, 1.0, 1000));   // exactly right
  EXPECT_FALSE(RateContradictsPeriod(850, 1.0, 1000));    // within 20 %
  EXPECT_TRUE(RateContradictsPeriod(100, 1.0, 1000));     // a tenth: another period
  EXPECT_TRUE(RateContradictsPeriod(1300, 1.0, 1000));
  EXPECT_FALSE(RateContradictsPeriod(100, 0.5, 1000));    // too short to tell
  EXPECT_FALSE(RateContradictsPeriod(10, 10.0, 1000000)); // too few either way
  EXPECT_TRUE(RateContradictsPeriod(10, 10.0, 1000));     // 10 where 10000 were due
  EXPECT_FALSE(RateContradictsPeriod(1000, 1.0, 0));
  EXPECT_DOUBLE_EQ(SampleRate(10, 0), 0.0);
}

}  // namespace
}  // namespace vozihost
