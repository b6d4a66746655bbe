#include "outputs/plot_series.h"

namespace vozihost {

PlotSeries::PlotSeries(size_t channels, size_t maxBuckets)
    : channels_(channels), maxBuckets_(maxBuckets < 2 ? 2 : maxBuckets & ~size_t{1}) {}

void PlotSeries::Add(uint64_t n, const std::vector<double>& values) {
  ++samples_;
  if (buckets_.empty() || buckets_.back().count >= perBucket_) {
    if (buckets_.size() == maxBuckets_) Compact();
    Bucket b;
    b.low.reserve(channels_);
    b.high.reserve(channels_);
    for (size_t c = 0; c < channels_; ++c) {
      const double v = c < values.size() ? values[c] : 0.0;
      b.low.push_back({v, n});
      b.high.push_back({v, n});
    }
    b.count = 1;
    buckets_.push_back(std::move(b));
    return;
  }
  Bucket& b = buckets_.back();
  for (size_t c = 0; c < channels_ && c < values.size(); ++c) {
    if (values[c] < b.low[c].value) b.low[c] = {values[c], n};
    if (values[c] > b.high[c].value) b.high[c] = {values[c], n};
  }
  ++b.count;
}

void PlotSeries::Merge(Bucket& into, const Bucket& from) {
  for (size_t c = 0; c < into.low.size(); ++c) {
    // Strict comparisons: an equal value keeps its earlier sample.
    if (from.low[c].value < into.low[c].value) into.low[c] = from.low[c];
    if (from.high[c].value > into.high[c].value) into.high[c] = from.high[c];
  }
  into.count += from.count;
}

void PlotSeries::Compact() {
  // maxBuckets_ is even and every bucket is full here, so each merged bucket
  // is full again at twice the size.
  size_t out = 0;
  for (size_t i = 0; i + 1 < buckets_.size(); i += 2, ++out) {
    Bucket merged = std::move(buckets_[i]);
    Merge(merged, buckets_[i + 1]);
    buckets_[out] = std::move(merged);
  }
  buckets_.resize(out);
  perBucket_ *= 2;
}

std::vector<std::pair<uint64_t, double>> PlotSeries::Points(size_t channel) const {
  std::vector<std::pair<uint64_t, double>> points;
  if (channel >= channels_) return points;
  points.reserve(buckets_.size() * 2);
  for (const Bucket& b : buckets_) {
    const Extreme& lo = b.low[channel];
    const Extreme& hi = b.high[channel];
    if (lo.n == hi.n) {
      points.emplace_back(lo.n, lo.value);
    } else if (lo.n < hi.n) {
      points.emplace_back(lo.n, lo.value);
      points.emplace_back(hi.n, hi.value);
    } else {
      points.emplace_back(hi.n, hi.value);
      points.emplace_back(lo.n, lo.value);
    }
  }
  return points;
}

}  // namespace vozihost
