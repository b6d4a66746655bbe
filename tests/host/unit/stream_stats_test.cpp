// Judging the period the time column assumes against the measured rate.
#include <gtest/gtest.h>

#include "stream_stats.h"

namespace vozihost {
namespace {

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
