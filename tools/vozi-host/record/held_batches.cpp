#include "record/held_batches.h"

#include <algorithm>
#include <iterator>

namespace vozihost {
namespace {

// Gaps written and holes known to be real, remembered for telling a batch
// too late for its place from one sent again: a recording's worth, not what
// a hostile publisher would like us to keep.
constexpr size_t kMaxRemembered = 100000;

}  // namespace

HeldBatches::Fit HeldBatches::Place(const RemoteBatch& b, uint64_t takenEnd) const {
  const uint64_t first = b.first, end = b.first + b.count;
  if (written_ && first < *written_) {
    // The file has passed this place: it is either samples written (sent
    // again) or a hole the file already marks as a gap.
    auto g = gaps_.upper_bound(first);
    if (g != gaps_.begin() && std::prev(g)->first <= first && end <= std::prev(g)->second) return Fit::PastWait;
    return end <= takenEnd ? Fit::Repeated : Fit::Overlapping;
  }
  const auto after = held_.lower_bound(first);
  const bool overlaps = (after != held_.end() && after->first < end) ||
                        (after != held_.begin() && std::prev(after)->second.End() > first);
  if (!overlaps) return Fit::Hole;
  return end <= takenEnd ? Fit::Repeated : Fit::Overlapping;
}

void HeldBatches::Hold(HeldBatch held) {
  bytes_ += held.bytes;
  const uint64_t first = held.batch.first;
  held_.emplace(first, std::move(held));
}

void HeldBatches::Lost(uint64_t position) {
  if (written_ && position < *written_) return;
  if (lost_.size() < kMaxRemembered) lost_.insert(position);
}

std::optional<uint64_t> HeldBatches::HoleBeforeFirst() const {
  if (held_.empty() || !written_) return std::nullopt;
  if (held_.begin()->first <= *written_ || lost_.count(*written_)) return std::nullopt;
  return *written_;
}

std::optional<HeldBatch> HeldBatches::TakeDue(RecordClock::time_point now, bool all) {
  if (held_.empty()) return std::nullopt;
  const auto it = held_.begin();
  if (!all && bytes_ <= maxBytes_) {
    const auto wait = HoleBeforeFirst() ? std::max(hold_, lateWait_) : hold_;
    if (now - it->second.arrived < wait) return std::nullopt;
  }
  HeldBatch h = std::move(it->second);
  held_.erase(it);
  bytes_ -= h.bytes;
  if (written_ && h.batch.first > *written_) {
    if (gaps_.size() >= kMaxRemembered) gaps_.erase(gaps_.begin());
    gaps_.emplace(*written_, h.batch.first);
  }
  written_ = std::max(written_.value_or(0), h.End());
  lost_.erase(lost_.begin(), lost_.lower_bound(*written_));
  return h;
}

bool HeldBatches::HoleOpen() const {
  std::optional<uint64_t> end = written_;
  for (const auto& [first, h] : held_) {
    if (end && first > *end && !lost_.count(*end)) return true;
    end = h.End();
  }
  return false;
}

void HeldBatches::Clear() {
  held_.clear();
  bytes_ = 0;
  written_.reset();
  gaps_.clear();
  lost_.clear();
}

}  // namespace vozihost
