// Judging the lines that arrived against the time that passed.
#include <gtest/gtest.h>

#include "session/stream_stats.h"

namespace vozihost {
namespace {

TEST(StreamStats, RateOnlyFromLinesSpanningASecond) {
  // 22 lines that came in one burst say nothing about the rate.
  EXPECT_FALSE(ArrivalRate(22, 0.0, 0.001));
  EXPECT_FALSE(ArrivalRate(1, 0.0, 5.0));
  EXPECT_DOUBLE_EQ(*ArrivalRate(1001, 2.0, 3.0), 1000.0);
}

}  // namespace
}  // namespace vozihost
