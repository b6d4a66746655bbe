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
  if (kept.size() >= 3 && last - first >= kDriftSpanUs) {
    double sxy = 0, sxx = 0;
    for (const ClockExchange* x : kept) {
      sxy += (x->At() - meanT) * (x->Offset() - meanOffset);
      sxx += (x->At() - meanT) * (x->At() - meanT);
    }
    if (sxx > 0) e.drift = std::clamp(sxy / sxx, -kMaxDrift, kMaxDrift);
  }
  // Said at the latest exchange, where it matters most.
  e.offsetUs = e.OffsetAt(last);
  e.atUs = last;
  return e;
}

}  // namespace vozihost
