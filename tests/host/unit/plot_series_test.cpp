// Thinning of long runs for the plot: bounded size, peaks kept, order kept.
#include <gtest/gtest.h>

#include <cmath>

#include "outputs/plot_series.h"

namespace vozihost {
namespace {

TEST(PlotSeries, ShortRunKeepsEverySample) {
  PlotSeries s(2, 16);
  for (uint64_t n = 0; n < 10; ++n) s.Add(n, {static_cast<double>(n), -static_cast<double>(n)});
  const auto a = s.Points(0);
  ASSERT_EQ(a.size(), 10u);
  for (uint64_t n = 0; n < 10; ++n) {
    EXPECT_EQ(a[n].first, n);
    EXPECT_EQ(a[n].second, static_cast<double>(n));
  }
  EXPECT_EQ(s.Points(1)[9].second, -9.0);
  EXPECT_TRUE(s.Points(2).empty());  // no such channel
}

TEST(PlotSeries, LongRunStaysBoundedAndKeepsSpikes) {
  const size_t maxBuckets = 64;
  PlotSeries s(1, maxBuckets);
  const uint64_t total = 100003;  // not a power of two: a part-filled last bucket
  for (uint64_t n = 0; n < total; ++n) {
    double v = std::sin(static_cast<double>(n) / 1000.0);
    if (n == 77777) v = 50.0;   // one-sample spikes a plain decimation would miss
    if (n == 12345) v = -50.0;
    s.Add(n, {v});
  }
  EXPECT_EQ(s.SampleCount(), total);
  EXPECT_LE(s.BucketCount(), maxBuckets);
  EXPECT_GT(s.BucketCount(), maxBuckets / 2);  // compaction halves, never empties
  const auto p = s.Points(0);
  ASSERT_LE(p.size(), 2 * maxBuckets);
  bool high = false, low = false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (i) {
      EXPECT_LT(p[i - 1].first, p[i].first) << "points out of sample order at " << i;
    }
    high |= p[i].first == 77777 && p[i].second == 50.0;
    low |= p[i].first == 12345 && p[i].second == -50.0;
  }
  EXPECT_TRUE(high);
  EXPECT_TRUE(low);
  EXPECT_GE(p.back().first, total - s.SamplesPerBucket());  // the tail is not lost
}

TEST(PlotSeries, MergedBucketsKeepExtremesOfEachChannelApart) {
  PlotSeries s(2, 2);  // two buckets at most: the third sample merges the first two
  s.Add(0, {1, 10});
  s.Add(1, {5, -10});
  s.Add(2, {-3, 0});  // compaction: buckets 0 and 1 merge
  s.Add(3, {0, 20});
  const auto a = s.Points(0);
  const auto b = s.Points(1);
  // First bucket (samples 0-1): channel 0 low 1 at 0, high 5 at 1; channel 1
  // high 10 at 0, low -10 at 1. Second bucket (2-3).
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0], (std::pair<uint64_t, double>{0, 1}));
  EXPECT_EQ(a[1], (std::pair<uint64_t, double>{1, 5}));
  EXPECT_EQ(a[2], (std::pair<uint64_t, double>{2, -3}));
  EXPECT_EQ(a[3], (std::pair<uint64_t, double>{3, 0}));
  ASSERT_EQ(b.size(), 4u);
  EXPECT_EQ(b[0], (std::pair<uint64_t, double>{0, 10}));
  EXPECT_EQ(b[1], (std::pair<uint64_t, double>{1, -10}));
  EXPECT_EQ(b[3], (std::pair<uint64_t, double>{3, 20}));
}

}  // namespace
}  // namespace vozihost
