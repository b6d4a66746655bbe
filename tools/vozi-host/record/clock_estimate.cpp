#include "record/clock_estimate.h"

#include <algorithm>
#include <cmath>

namespace vozihost {

int64_t ClockEstimate::ToRecorder(int64_t senderUs) const {
  // The offset is a function of the recorder's time: evaluated where the
  // sender's time lands, near enough (drift times the offset is nanoseconds).
  const double offset = OffsetAt(static_cast<double>(senderUs) - offsetUs);
  // An offset within half the shortest round trip cannot be told from none
  // (on one machine it is only the exchange's lopsidedness): such a clock
  // keeps its own times, and a recording of it equals the sender's own.
  if (std::abs(offset) <= static_cast<double>(roundTripUs) / 2.0) return senderUs;
  return static_cast<int64_t>(std::llround(static_cast<double>(senderUs) - offset));
}

bool ClockEstimator::Add(uint64_t burst, const ClockExchange& e) {
  if (e.RoundTrip() < 0 || e.t4 < e.t1 || e.t3 < e.t2) return false;
  ++exchanges_;
  if (!bests_.empty() && bests_.back().burst == burst) {
    if (e.RoundTrip() < bests_.back().exchange.RoundTrip()) bests_.back().exchange = e;
    return true;
  }
  if (!bests_.empty() && burst < bests_.back().burst) return true;  // a burst already closed: too late to matter
  bests_.push_back(Best{burst, e});
  while (bests_.size() > kMaxBursts) bests_.pop_front();
  return true;
}

std::optional<ClockEstimate> ClockEstimator::Estimate() const {
  if (bests_.empty()) return std::nullopt;
  // The better half by round trip (at least one): a burst slow throughout
  // (a congested moment) is left out.
  std::vector<const ClockExchange*> kept;
  for (const Best& b : bests_) kept.push_back(&b.exchange);
  std::sort(kept.begin(), kept.end(),
            [](const ClockExchange* a, const ClockExchange* b) { return a->RoundTrip() < b->RoundTrip(); });
  kept.resize((kept.size() + 1) / 2);
  // Nor one more than twice as slow as the fastest: while few bursts are
  // known, the better half may still hold a burst slow throughout (the
  // sender not scheduled for a while, a queue), as lopsided as it is long,
  // and one such beside a fast one would drag the mean by half its length.
  const int64_t slowest = 2 * kept.front()->RoundTrip();
  while (kept.back()->RoundTrip() > slowest) kept.pop_back();
  ClockEstimate e;
  e.used = kept.size();
  e.roundTripUs = kept.front()->RoundTrip();
  double meanT = 0, meanOffset = 0, first = kept.front()->At(), last = first;
  for (const ClockExchange* x : kept) {
    meanT += x->At();
    meanOffset += x->Offset();
    first = std::min(first, x->At());
    last = std::max(last, x->At());
  }
  meanT /= static_cast<double>(kept.size());
  meanOffset /= static_cast<double>(kept.size());
  e.atUs = meanT;
  e.offsetUs = meanOffset;
  double sxx = 0;
  bool fitted = false;
  if (kept.size() >= 3 && last - first >= kDriftSpanUs) {
    double sxy = 0;
    for (const ClockExchange* x : kept) {
      sxy += (x->At() - meanT) * (x->Offset() - meanOffset);
      sxx += (x->At() - meanT) * (x->At() - meanT);
    }
    if (sxx > 0) {
      e.drift = std::clamp(sxy / sxx, -kMaxDrift, kMaxDrift);
      fitted = e.drift == sxy / sxx;
    }
  }
  // Each exchange's offset is off by at most half its round trip (neither
  // way took less than nothing), however lopsided. The estimate at `last`
  // is a weighted sum of those offsets (weights adding up to 1: the mean's
  // 1/n, a fitted line's more for the late ones and less, even negative, for
  // the early ones), so it is off by at most the same sum of the halves with
  // the weights' magnitudes. Half the shortest round trip alone bounds
  // nothing once lopsided exchanges are averaged in beside it. This holds
  // for a clock whose offset the estimate's form can follow (constant, or
  // a line once fitted); a slope clamped to kMaxDrift is taken as the
  // clocks' own, and the bound is the mean's.
  for (const ClockExchange* x : kept) {
    double w = 1.0 / static_cast<double>(kept.size());
    if (fitted) w += (last - meanT) * (x->At() - meanT) / sxx;
    e.boundUs += std::abs(w) * static_cast<double>(x->RoundTrip()) / 2.0;
  }
  // Said at the latest exchange, where it matters most.
  e.offsetUs = e.OffsetAt(last);
  e.atUs = last;
  return e;
}

}  // namespace vozihost
