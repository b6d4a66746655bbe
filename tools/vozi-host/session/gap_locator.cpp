#include "session/gap_locator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace vozihost {
namespace {

// A shortfall up to this many samples is the newest line's ordinary age (up
// to a period since it was sent, plus the way to the ring); above it, lines
// are missing or stale.
constexpr double kShortfallTolerance = 2.5;
// Within one sample of the lowest shortfall a look counts as fresh.
constexpr double kFresh = 1.0;
// A crystal drifts by some tens of parts per million: the origin may creep
// later by this much per second, so that an instrument whose clock runs
// slow is not taken for one that loses samples.
constexpr double kDrift = 1e-4;
// Once a look is fresh at a new level, the level is taken as settled when no
// lower one came for this long.
constexpr double kSettleSeconds = 0.5;
// A level of a few samples is also what a busy machine does to every line
// for a while: the instrument's side or the library's reader thread
// scheduled late, again and again. Below this many seconds of samples a
// level must stay ten times as long before it counts as lines lost.
constexpr double kSmallLevelSeconds = 0.05;
constexpr double kSmallLevelSettleFactor = 10;
// While many looks wait to be settled, they are weighed again at most this
// often (in the looks' time), not at every line: each weighing goes over
// all of them, and a tool that fell behind reads thousands of lines at once.
constexpr size_t kWeighedAtOnce = 32;
constexpr double kWeighEvery = 0.01;
// Looks further apart than this mean the tool itself was held up.
constexpr double kWatchedGapSeconds = 1.0;
// What the buffers in front of the tool hold at most: the library's ring.
// A burst as large as that may be the oldest lines of an overflow.
constexpr uint64_t kBufferedBytes = 65535;
// Lines held while a stall is not yet settled, at most.
constexpr size_t kMaxHeld = 200000;

}  // namespace

double GapLocator::SettleSeconds(double level) const {
  const double period = static_cast<double>(periodUs_) / 1e6;
  const double settle = std::max(kSettleSeconds, 5.0 * period);
  return level * period < kSmallLevelSeconds ? settle * kSmallLevelSettleFactor : settle;
}

double GapLocator::StaleShortfall(const Interval& i) const {
  return i.shortfall + (i.lastAt - i.at) * 1e6 / static_cast<double>(periodUs_);
}

void GapLocator::Look(double at, uint64_t end, bool full) {
  fullSinceLastLook_ = fullSinceLastLook_ || full;
  if (end <= lastLookEnd_) {
    // Still the newest line: how long it stayed so tells whether the lines
    // after it were held up or lost.
    if (!looks_.empty() && looks_.back().end == lastLookEnd_) {
      looks_.back().lastAt = at;
    } else if (!intervals_.empty() && intervals_.back().end == lastLookEnd_) {
      intervals_.back().lastAt = at;
    } else if (lastReleased_ && lastReleased_->end == lastLookEnd_) {
      lastReleased_->lastAt = at;
    }
    return;
  }
  const PendingLook look{at, at, end, fullSinceLastLook_};
  lastLookEnd_ = end;
  fullSinceLastLook_ = full;
  if (end <= lastLineEnd_) {
    // The tool took the lines up to this end before it looked (a read that
    // waited for a line): they close here, or the next line, which may come
    // after a long silence, would count as seen by this look.
    CloseInterval(look);
    return;
  }
  looks_.push_back(look);
}

void GapLocator::Line(std::string line, double at, uint64_t end, bool mayFollowRefused) {
  lastLineEnd_ = end;
  held_.push_back({std::move(line), at, mayFollowRefused});
  ++openLines_;
  while (!looks_.empty() && looks_.front().end <= end) {
    CloseInterval(looks_.front());
    looks_.pop_front();
  }
}

void GapLocator::CloseInterval(const PendingLook& look) {
  if (openLines_ == 0) return;  // a look that ended inside a line: the next closes it
  Interval interval;
  interval.lines = openLines_;
  interval.end = look.end;
  interval.at = look.at;
  interval.lastAt = look.lastAt;
  interval.full = look.full;
  openLines_ = 0;
  if (periodUs_ > 0) {
    const double period = static_cast<double>(periodUs_) / 1e6;
    const double position = static_cast<double>(position_ + held_.size() - 1);
    // The newest line was sent no later than the look.
    const double sentBy = look.at - position * period;
    if (!origin_) {
      origin_ = firstOrigin_ = sentBy;
    } else {
      origin_ = std::min(*origin_ + kDrift * (look.at - originAt_), sentBy);
    }
    originAt_ = look.at;
    interval.shortfall = (look.at - *origin_) / period - position;
    const double tolerance = std::max(2.0, 0.5 / period);
    if ((*firstOrigin_ - *origin_) / period > tolerance) faster_ = true;
  }
  intervals_.push_back(interval);
}

void GapLocator::ReleaseLines(size_t count, std::optional<uint64_t> gap, bool full) {
  for (size_t k = 0; k < count && !held_.empty(); ++k) {
    HeldLine& h = held_.front();
    Released r{std::move(h.line), h.at, k == 0 ? gap : std::nullopt, full};
    // A line after a full ring with no count booked before it: lines may be
    // missing there, how many the clock cannot say.
    if (!r.gap && h.mayFollowRefused) {
      r.gap = 0;
      r.ringFull = true;
    }
    held_.pop_front();
    if (!intervals_.empty()) {
      if (--intervals_.front().lines == 0) {
        lastReleased_ = intervals_.front();
        intervals_.pop_front();
      }
    } else {
      --openLines_;
    }
    position_ += 1;
    sink_.Release(r);
  }
}

GapLocator::Level GapLocator::FindLevel(size_t count) const {
  // Where the shortfall stays over the last half of the settling time is
  // how many are missing. A small level waits longer before it is booked,
  // but it is not weighed over a longer stretch: that would reach back past
  // the step that began it, to a look at the lines before the loss.
  const double since = intervals_[count - 1].at - SettleSeconds(std::numeric_limits<double>::infinity()) / 2;
  Level found;
  found.level = intervals_[count - 1].shortfall;
  for (size_t i = 0; i < count; ++i) {
    if (intervals_[i].at >= since) found.level = std::min(found.level, intervals_[i].shortfall);
  }
  // The first look at that level after the last look below it. Looks below
  // it saw their end before all the missing lines were due: some lie after
  // it. Looks above every later one were stale (a backlog still coming in).
  for (size_t i = count; i-- > 0;) {
    // Below by more than the newest line's ordinary age: the jitter of a
    // sample or two in when lines arrive must not split one level in two.
    if (intervals_[i].shortfall < found.level - kShortfallTolerance) {
      found.fresh = found.lowerBefore = i + 1;
      break;
    }
  }
  std::vector<double> after(count + 1, std::numeric_limits<double>::infinity());
  for (size_t i = count; i-- > 0;) after[i] = std::min(after[i + 1], intervals_[i].shortfall);
  // No line is sent after the look that finds it, so every look since the
  // step bounds the count from above: the lowest is the count, and a
  // lateness that rose since (a busier machine) does not add to it.
  found.level = std::min(found.level, after[found.lowerBefore]);
  while (found.fresh + 1 < count && intervals_[found.fresh].shortfall > after[found.fresh + 1] + kFresh) ++found.fresh;
  return found;
}

std::optional<size_t> GapLocator::QuietBefore(const Level& found) const {
  // The last look below the level, whose end then stayed the newest line.
  const Interval* quiet = found.lowerBefore > 0 ? &intervals_[found.lowerBefore - 1]
                                                : (lastReleased_ ? &*lastReleased_ : nullptr);
  if (!quiet || found.fresh < found.lowerBefore) return std::nullopt;
  // Silent for most of the time the missing lines took to fall due, and
  // watched all along: the tool kept looking until the lines came again, so
  // the process was running and the buffers in front of the ring emptied.
  const double due = found.level - quiet->shortfall;
  if (due <= kFresh || StaleShortfall(*quiet) - quiet->shortfall < due / 2) return std::nullopt;
  if (intervals_[found.lowerBefore].at - quiet->lastAt > kWatchedGapSeconds) return std::nullopt;
  // A burst the buffers could hold, none of it refused: nothing on the way
  // overflowed, so nothing was dropped after the quiet spell.
  if (intervals_[found.fresh].end - quiet->end >= kBufferedBytes) return std::nullopt;
  // Nor anywhere before it among the lines held: a line the ring let in
  // after refusing others there places the loss by that evidence instead.
  size_t before = 0, burstEnd = 0;
  for (size_t i = 0; i <= found.fresh; ++i) {
    if (intervals_[i].full) return std::nullopt;
    if (i < found.lowerBefore) before += intervals_[i].lines;
    burstEnd += intervals_[i].lines;
  }
  if (quiet->full) return std::nullopt;
  for (size_t k = 0; k < burstEnd && k < held_.size(); ++k) {
    if (held_[k].mayFollowRefused) return std::nullopt;
  }
  return before;
}

void GapLocator::Settle(bool final) {
  if (periodUs_ <= 0) {
    ReleaseLines(held_.size(), std::nullopt, false);
    return;
  }
  if (!final && intervals_.size() > kWeighedAtOnce && intervals_.back().at - weighedAt_ < kWeighEvery) return;
  if (!intervals_.empty()) weighedAt_ = intervals_.back().at;
  while (!intervals_.empty()) {
    size_t lowest = 0;
    for (size_t i = 1; i < intervals_.size(); ++i) {
      if (intervals_[i].shortfall < intervals_[lowest].shortfall) lowest = i;
    }
    if (intervals_[lowest].shortfall <= kShortfallTolerance) {
      // A fresh look with nothing missing: every line up to it was only
      // late, if at all.
      size_t lines = 0;
      for (size_t i = 0; i <= lowest; ++i) lines += intervals_[i].lines;
      ReleaseLines(lines, std::nullopt, false);
      continue;
    }
    // Lines are missing, or only late: wait until the level has stayed.
    Level found = FindLevel(intervals_.size());
    const double stayed = intervals_.back().at - intervals_[found.fresh].at;
    if (!final && held_.size() <= kMaxHeld && stayed < SettleSeconds(found.level)) return;
    // The stream ends on a level of a few samples seen only for a moment:
    // the last lines were late on a busy machine, as far as anyone can tell.
    if (final && stayed < kSettleSeconds &&
        found.level * static_cast<double>(periodUs_) / 1e6 < kSmallLevelSeconds) {
      break;
    }
    // A lower level before it, where fresh lines came in for as long as any
    // large level must stay (lines lost, then more before the first small
    // loss had settled), is settled by the one after it and booked first,
    // on its own. Shorter stretches below are looks that came before all
    // the missing lines were due.
    while (found.lowerBefore) {
      const Level earlier = FindLevel(found.lowerBefore);
      const double stayed = intervals_[found.lowerBefore - 1].at - intervals_[earlier.fresh].at;
      if (stayed < SettleSeconds(std::numeric_limits<double>::infinity())) break;
      found = earlier;
    }
    const double level = found.level;
    const size_t fresh = found.fresh;
    size_t before = 0;
    bool full = false;
    if (const auto quiet = QuietBefore(found)) {
      // The instrument fell silent, or lost lines itself: the lines after
      // the quiet spell are the newest, so the missing ones lie before them.
      before = *quiet;
    } else {
      // The gap opens the fresh look's stretch when the line before it came
      // before the gap and then stayed the newest for most of the time the
      // missing ones took to fall due (the ring refused what came after it,
      // or they were lost on the way). Otherwise the tool, or the whole
      // process, was held up while the buffers filled: the fresh look's end
      // closes the backlog they kept, and the gap follows it.
      const Interval* previous =
          fresh > 0 ? &intervals_[fresh - 1] : (lastReleased_ ? &*lastReleased_ : nullptr);
      const double due = previous ? level - previous->shortfall : 0;
      for (size_t i = 0; i < fresh; ++i) {
        before += intervals_[i].lines;
        full = full || intervals_[i].full;
      }
      full = full || intervals_[fresh].full;
      // So does a fresh stretch that begins with a line the ring let in after
      // refusing others (the last of a backlog's lines that slipped in between
      // refused ones is the first at the level).
      const bool atStart =
          (previous && due > kFresh && StaleShortfall(*previous) - previous->shortfall >= due / 2) ||
          held_[before].mayFollowRefused;
      if (!atStart) {
        before += intervals_[fresh].lines;
        if (before >= held_.size()) {
          if (!final) return;  // the gap lies before a line still to come
          break;               // nothing came after it: where the stream ended
        }
      }
      // A line the ring let in after refusing others is where lines surely
      // went missing: the last such line up to the place found above takes
      // the count (earlier ones are marked as missing an unknown number), so
      // that every row after it is in place.
      for (size_t k = std::min(before + 1, held_.size()); k-- > 0;) {
        if (held_[k].mayFollowRefused) {
          before = k;
          full = true;
          break;
        }
      }
    }
    const auto missing = static_cast<uint64_t>(std::llround(level));
    ReleaseLines(before, std::nullopt, false);
    position_ += missing;
    for (Interval& i : intervals_) i.shortfall -= static_cast<double>(missing);
    ReleaseLines(1, missing, full);
  }
  if (final) ReleaseLines(held_.size(), std::nullopt, false);
}

}  // namespace vozihost
