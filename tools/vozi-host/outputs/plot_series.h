#pragma once
// The samples of a run, thinned for plotting while they arrive: at most
// maxBuckets buckets per run, each keeping the lowest and the highest value of
// every channel with the sample at which it occurred. When the buckets are
// used up, neighbours are merged and each bucket covers twice as many samples
// from then on. A peak therefore survives any run length, and memory stays
// fixed however long the acquisition.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vozihost {

class PlotSeries {
 public:
  explicit PlotSeries(size_t channels, size_t maxBuckets = 2048);

  // Sample n (increasing from call to call) with one value per channel.
  void Add(uint64_t n, const std::vector<double>& values);

  // The points of one channel in sample order, as (sample index, value):
  // one per single-sample bucket, otherwise the bucket's two extremes in the
  // order they occurred. At most 2 * maxBuckets points.
  std::vector<std::pair<uint64_t, double>> Points(size_t channel) const;

  size_t Channels() const { return channels_; }
  size_t BucketCount() const { return buckets_.size(); }
  uint64_t SamplesPerBucket() const { return perBucket_; }
  uint64_t SampleCount() const { return samples_; }

 private:
  struct Extreme {
    double value;
    uint64_t n;
  };
  struct Bucket {
    uint64_t count = 0;
    std::vector<Extreme> low, high;  // one per channel
  };
  void Compact();
  static void Merge(Bucket& into, const Bucket& from);

  size_t channels_;
  size_t maxBuckets_;
  uint64_t perBucket_ = 1;
  uint64_t samples_ = 0;
  std::vector<Bucket> buckets_;
};

}  // namespace vozihost
