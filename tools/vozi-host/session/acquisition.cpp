#include "session/acquisition.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "session/channel_scaling.h"
#include "platform/console.h"

namespace vozihost {
namespace {

using Clock = std::chrono::steady_clock;

// The library's ring holds at most 65535 bytes; a decoded line that does not
// fit whole is refused.
constexpr uint64_t kRingBytes = 65535;
// A decoded line is "@ ", then the columns' values with a comma between,
// then LF. A scaled value has at most 5 digits (0..32767), any other up to
// 11 characters (-2147483648). The closer this bound, the fewer lines near a
// full ring are taken as maybe following refused ones.
uint64_t LongestRingLine(const std::vector<ChannelInfo>& columns) {
  uint64_t longest = 2 + 1;
  for (const ChannelInfo& c : columns) longest += (c.Scaled() ? 5 : 11) + 1;
  return columns.empty() ? longest : longest - 1;
}
// Lines taken from one instrument per pass, so that one fast instrument
// cannot starve the others or the clock checks.
constexpr int kLinesPerPass = 4000;
// Lines held back while a ring keeps refusing others, at most (some seconds
// of a fast instrument): a ring refusing for longer is passed on as it is.
constexpr size_t kMaxWithheld = 20000;
// The longest the tool blocks in a read when nothing is waiting.
constexpr uint32_t kWaitMs = 20;
// After a pass that took lines, the next waits this long: lines at 1 kHz
// from many instruments would otherwise wake the tool for nearly every line.
// The ring holds far more than any instrument sends in this time.
constexpr auto kPace = std::chrono::milliseconds(2);
constexpr double kCheckInterval = 0.25;
// A turn of the loop that came this long after the previous one means the
// tool was not running in between.
constexpr double kHeldUpSeconds = 1.0;
// How long a ring found full is left alone (or two sample periods, if longer).
constexpr double kFullRingPause = 0.02;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double PeriodSeconds(const DeviceStream& s) { return static_cast<double>(s.periodUs) / 1e6; }

// With a period the time limit is one of sample time: the samples whose
// time lies below it, however late they arrive.
std::optional<uint64_t> PositionLimit(const DeviceStream& s, const StreamLimits& limits) {
  if (!limits.seconds || s.periodUs <= 0) return std::nullopt;
  return static_cast<uint64_t>(std::ceil(*limits.seconds * 1e6 / static_cast<double>(s.periodUs) - 1e-9));
}

}  // namespace

const char* GapCauseName(GapCause cause) {
  switch (cause) {
    case GapCause::RingFull: return "ring-full";
    case GapCause::Damaged: return "damaged";
    case GapCause::Missing: return "missing";
  }
  return "missing";
}

double DeviceStream::AverageLineBytes() const {
  return linesRead ? static_cast<double>(bytesRead) / static_cast<double>(linesRead) : 0.0;
}

bool DeviceStream::NothingToWrite() const {
  const bool wanted = !csvPath.empty() || !plotPath.empty() || !edfPath.empty();
  return wanted && !sink && !(csv.IsOpen() && !csv.ReaderGone()) && !plot && !edf;
}

void DeviceStream::RecordGap(std::optional<uint64_t> count, GapCause cause) {
  if (!pendingUnknown_ && pendingGap_ == 0) pendingCause_ = cause;
  if (!count) {
    pendingUnknown_ = true;
    ++stats.gapsOfUnknownSize;
    return;
  }
  stats.lostEstimate += *count;
  pendingGap_ += *count;
}

void DeviceStream::Release(GapLocator::Released& line) {
  // Past the limit nothing is recorded: a gap there would move the end.
  if (done) return;
  if (line.gap) {
    RecordGap(*line.gap ? std::optional<uint64_t>(*line.gap) : std::nullopt,
              line.ringFull ? GapCause::RingFull : GapCause::Missing);
  }
  Consume(line.line, limits);
}

void DeviceStream::Consume(const std::string& line, const StreamLimits& limits) {
  if (done) return;
  const uint64_t n = Position();
  if (const auto last = PositionLimit(*this, limits); last && n >= *last) {
    done = true;
    return;
  }
  const LineStatus status = ParseSampleLine(line, scaled, decoded_);
  stats.Count(status);
  if (status != LineStatus::Ok) {
    // The line's end survived, so it stood for one sample: its place is kept
    // and the next row says one is missing.
    if (!pendingUnknown_ && pendingGap_ == 0) pendingCause_ = GapCause::Damaged;
    ++pendingGap_;
    return;
  }
  const int64_t gap = pendingUnknown_ ? -1 : static_cast<int64_t>(pendingGap_);
  if (gap != 0) {
    ++stats.gaps;
    plotGaps.push_back(static_cast<double>(n));
    if (edf) edf->Gap(n, pendingUnknown_ ? std::nullopt : std::optional<uint64_t>(pendingGap_));
  }
  const GapCause cause = pendingCause_;
  pendingGap_ = 0;
  pendingUnknown_ = false;
  physical_.resize(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) physical_[k] = ToPhysical(decoded_[k], columns[k]);
  rowsEnd = n + 1;
  csv.WriteRow(n, periodUs, physical_, gap);
  if (sink) sink->Row(n, physical_, gap, cause);
  if (plot) plot->Add(n, physical_);
  if (edf) edf->Add(decoded_);
  if (limits.samples && stats.samples >= *limits.samples) done = true;
}

void DeviceStream::MarkEndLoss() {
  const auto last = PositionLimit(*this, limits);
  // A played recording that ended before the limit lost nothing there.
  if (!started || !last || !failure.empty() || playedToEnd || stats.samples == 0 || rowsEnd >= *last) return;
  endLoss = *last - rowsEnd;
  // Booked by the clock before a line past the limit, or never seen at all.
  const bool booked = pendingGap_ > 0 || pendingUnknown_;
  endLossCause = booked ? pendingCause_ : GapCause::Missing;
  if (!booked) stats.lostEstimate += endLoss;
  pendingGap_ = 0;
  pendingUnknown_ = false;
  ++stats.gaps;
  plotGaps.push_back(static_cast<double>(rowsEnd));
  if (edf) edf->Gap(rowsEnd + endLoss, endLoss);  // missing before the limit
  if (sink) sink->EndLoss(rowsEnd, endLoss, endLossCause);
}

bool Acquisition::Configure(DeviceStream& s) {
  const int32_t index = s.info.index;
  // Selected even when it is where the instrument starts: an earlier host
  // may have left it at another one, and no command reports the current one.
  if (s.periodUs > 0 && !session_.Command(index, VOZI_SELECT_PERIOD, static_cast<int32_t>(s.periodUs)).ok) {
    s.failure = "SelectPeriod refused";
    return false;
  }
  // Every handshake starts with no channel enabled; disabling first makes
  // the set exact even on an instrument some earlier host configured.
  for (const ChannelInfo& c : s.info.channels) {
    const bool wanted = std::any_of(s.columns.begin(), s.columns.end(),
                                    [&](const ChannelInfo& k) { return k.index == c.index; });
    const VoziCommand code = wanted ? VOZI_ENABLE_CHANNEL : VOZI_DISABLE_CHANNEL;
    if (!session_.Command(index, code, c.index).ok) {
      s.failure = std::string(wanted ? "EnableChannel " : "DisableChannel ") + std::to_string(c.index) +
                  " refused";
      return false;
    }
  }
  return true;
}

bool Acquisition::Start() {
  bool any = false;
  for (DeviceStream& s : streams_) {
    if (StopRequested()) break;
    if (!s.failure.empty() || !Configure(s)) continue;
    if (!session_.Command(s.info.index, VOZI_START_STREAM).ok) {
      s.failure = "StartStream refused";
      continue;
    }
    s.limits = limits_;
    s.gaps = std::make_unique<GapLocator>(s.periodUs, s);
    s.started = true;
    any = true;
  }
  return any;
}

bool Acquisition::LimitReached(double elapsed) const {
  for (const DeviceStream& s : streams_) {
    if (!s.started || s.done || !s.failure.empty()) continue;
    if (!limits_.seconds) return false;
    // Without a period the limit is wall-clock time; with one the stream
    // ends on its own sample time, and this only bounds a stream that falls
    // behind.
    const double bound = s.periodUs > 0 ? *limits_.seconds + StallSeconds(s) + 2 * PeriodSeconds(s)
                                        : *limits_.seconds;
    if (elapsed < bound) return false;
  }
  return true;
}

void Acquisition::Take(DeviceStream& s, double now) {
  // A line that starts where the ring may have refused lines just before it.
  while (!s.ringGaps.empty() && s.ringGaps.front().to < s.bytesRead) s.ringGaps.pop_front();
  const bool mayFollowRefused = !s.ringGaps.empty() && s.ringGaps.front().from <= s.bytesRead;
  s.bytesRead += line_.size() + 1;
  ++s.linesRead;
  if (!s.done) {
    if (!s.anyLine) s.firstAt = now;
    s.anyLine = true;
    s.lastAt = now;
    s.linesByLast = s.linesRead;
  }
  // With a period, lines that may follow refused ones wait, with the lines
  // after them, until one comes that no refusal seen so far can precede:
  // only then is it known which came in last after a refusal.
  const bool refusalsAhead = !s.withheld.empty() && !s.ringGaps.empty();
  if (s.periodUs > 0 && (mayFollowRefused || refusalsAhead) && s.withheld.size() < kMaxWithheld) {
    s.withheld.push_back({line_, now, s.bytesRead, mayFollowRefused});
    return;
  }
  PassWithheld(s);
  s.gaps->Line(line_, now, s.bytesRead, mayFollowRefused);
  s.gaps->Settle(false);
}

// Past the ring's refusals. The lines it let in between refused ones
// each came after an unknown number missing: they have no place that can be
// known, and left in they would put every row up to the last of them at a
// guessed time. So they are left out, and the clock counts them with the
// rest of the gap, booked at the last one let in after a refusal; the lines
// after it are continuous with the stream.
void Acquisition::PassWithheld(DeviceStream& s) {
  if (s.withheld.empty()) return;
  size_t first = 0;
  for (size_t k = s.withheld.size(); k-- > 0;) {
    if (s.withheld[k].mayFollowRefused) {
      first = k;
      break;
    }
  }
  s.stats.unplaced += first;
  for (size_t k = first; k < s.withheld.size(); ++k) {
    const DeviceStream::Withheld& w = s.withheld[k];
    s.gaps->Line(w.line, w.at, w.end, w.mayFollowRefused);
    s.gaps->Settle(false);
  }
  s.withheld.clear();
}

// Looks at the ring before each line. The reader thread fills it in bursts
// (many lines between two looks), so a look finding it nearly full cannot
// tell that the refusals came after it: they may lie anywhere since the
// previous look, and a short line can slip in after them. What bounds them:
// a line is refused only when the ring lacks room for it (less than one
// longest line free), and between two looks the tool takes one line. So a
// refusal since the previous look leaves more than 65535 - 2 longest lines
// held now, and the line after it starts no earlier than one longest line
// short of a full ring as seen from the previous look's read position, and
// no later than the end of the text held now.
void Acquisition::WatchRing(size_t i) {
  DeviceStream& s = streams_[i];
  const uint64_t held = static_cast<uint64_t>(std::max(0, session_.BufferedBytes(s.info.index)));
  const uint64_t longest = LongestRingLine(s.columns);
  const uint64_t end = s.bytesRead + held;
  const bool full = held + 2 * longest > kRingBytes;
  const double now = SecondsSince(start_);
  if (full && !ringWasFull_[i]) {
    ++s.stats.ringOverflows;
    // Taking lines from a ring that is refusing a backlog would let a few
    // of it in between the refused ones, each after an unknown number
    // missing. Left alone for a moment, the ring refuses the backlog
    // whole; the lines it then lets in are fresh, so the clock tells how
    // many went missing, and where.
    if (s.periodUs > 0) s.pausedUntil = now + std::max(kFullRingPause, 2 * PeriodSeconds(s));
  }
  ringWasFull_[i] = full;
  const uint64_t from = std::max(s.lookedAtEnd, s.lookedAtRead + kRingBytes + 1 - std::min(kRingBytes, longest));
  s.lookedAtRead = s.bytesRead;
  s.lookedAtEnd = end;
  if (s.gaps) s.gaps->Look(now, end, full);
  if (!full || s.done || from > end) return;
  if (!s.ringGaps.empty() && s.ringGaps.back().to + 1 >= from) {
    s.ringGaps.back().to = std::max(s.ringGaps.back().to, end);
  } else {
    s.ringGaps.push_back({from, end});
  }
}

// Every ring at each read, not only the one read from: while the tool
// drains one instrument, the lines entering the others' rings are the
// newest of their streams, and each look places them in time.
void Acquisition::WatchRings() {
  for (size_t i = 0; i < streams_.size(); ++i) {
    if (streams_[i].started) WatchRing(i);
  }
}

// A pass can take seconds on a slow machine: each line gets the time it was
// read, or a flood would look like a stall to the health check.
Acquisition::Drained Acquisition::DrainAll() {
  Drained drained = Drained::Nothing;
  for (size_t i = 0; i < streams_.size(); ++i) {
    DeviceStream& s = streams_[i];
    if (!s.started) continue;
    WatchRing(i);
    if (s.pausedUntil > SecondsSince(start_)) continue;
    int k = 0;
    for (; k < kLinesPerPass; ++k) {
      WatchRings();
      if (!session_.ReadLine(s.info.index, line_, 0)) break;
      Take(s, SecondsSince(start_));
    }
    if (k == kLinesPerPass) {
      drained = Drained::More;
    } else if (k > 0 && drained == Drained::Nothing) {
      drained = Drained::Lines;
    }
  }
  return drained;
}

// Nothing was waiting anywhere: block briefly in one instrument's read (in
// turn), instead of spinning. The library's calls are made one at a time, so
// the instruments are served from this one thread.
bool Acquisition::WaitForLine(double now) {
  const size_t i = nextWait_++ % streams_.size();
  if (!streams_[i].started) return false;
  if (streams_[i].pausedUntil > now) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return false;
  }
  const uint32_t wait = std::max<uint32_t>(1, kWaitMs / static_cast<uint32_t>(streams_.size()));
  WatchRings();
  if (!session_.ReadLine(streams_[i].info.index, line_, wait)) return false;
  Take(streams_[i], now);
  return true;
}

// A recording played as an instrument is silent for its gaps, and may be
// silent that long on top of what any instrument may.
double Acquisition::StallSeconds(const DeviceStream& s) const {
  return std::max(limits_.silenceSeconds, 5.0 * PeriodSeconds(s)) + (s.played ? s.played->longestSilence : 0.0);
}

// Every line of a played recording has come, so nothing more will: the
// lines held back go now, on what is known of them, and the stream ends as
// at a limit.
void Acquisition::EndPlayed(DeviceStream& s) {
  PassWithheld(s);
  if (s.gaps) s.gaps->Settle(true);
  s.done = true;
  s.playedToEnd = true;
}

void Acquisition::CheckHealth(double now) {
  for (DeviceStream& s : streams_) {
    if (!s.started || !s.failure.empty() || s.done) continue;
    if (s.played && !s.played->looped && s.linesRead >= s.played->lines) {
      EndPlayed(s);
      continue;
    }
    if (session_.IsFailed(s.info.index)) {
      s.failure = "the instrument failed while streaming";
      continue;
    }
    // Lines waiting in the ring (one left alone while full) are arriving.
    const double quietSince = std::max(s.anyLine ? s.lastAt : 0.0, resumedAt_);
    if (now - quietSince > StallSeconds(s) && session_.BufferedBytes(s.info.index) <= 0) {
      s.failure = s.anyLine ? "the data stopped arriving"
                            : "no data arrived after the stream was started (the instrument did "
                              "not acknowledge the start, or sends nothing)";
      if (s.anyLine && s.played && !s.played->looped) {
        s.failure += " (" + std::to_string(s.linesRead) + " of the played recording's " +
                     std::to_string(s.played->lines) + " lines came)";
      }
      continue;
    }
  }
}

void Acquisition::ShowProgress(double now, bool final) {
  if (!showProgress_) return;
  std::string text;
  for (const DeviceStream& s : streams_) {
    if (!s.started) continue;
    if (!text.empty()) text += " | ";
    if (streams_.size() > 1) text += "#" + std::to_string(s.info.index) + " ";
    text += ProgressText(s.stats, now);
  }
  // Pad over the remains of a longer previous line.
  const size_t width = text.size();
  if (width < progressWidth_) text.append(progressWidth_ - width, ' ');
  progressWidth_ = width;
  std::fprintf(stderr, "\r%s%s", text.c_str(), final ? "\n" : "");
  std::fflush(stderr);
}

void Acquisition::StopAll() {
  for (const DeviceStream& s : streams_) {
    // A failed instrument cannot answer the stop request; asking would only
    // wait out the library's five seconds. CloseAll ends it either way.
    if (!s.started || session_.IsFailed(s.info.index)) continue;
    session_.Command(s.info.index, VOZI_STOP_STREAM);
  }
}

RunResult Acquisition::Run() {
  start_ = Clock::now();
  ringWasFull_.assign(streams_.size(), false);
  RunResult result;
  double nextCheck = kCheckInterval;
  double previousTurn = 0;
  for (;;) {
    const double now = SecondsSince(start_);
    // The tool itself was held up (stopped, the machine suspended): its
    // library's reader threads were too, so nothing could reach the rings
    // meanwhile, and a silence is counted again from here.
    if (now - previousTurn > kHeldUpSeconds) resumedAt_ = now;
    previousTurn = now;
    if (StopRequested()) {
      result.end = RunEnd::Interrupted;
      break;
    }
    if (LimitReached(now)) break;
    if (std::all_of(streams_.begin(), streams_.end(),
                    [](const DeviceStream& s) { return !s.started || s.NothingToWrite(); })) {
      result.end = RunEnd::NothingToWrite;
      break;
    }
    switch (DrainAll()) {
      case Drained::Nothing:
        WaitForLine(now);
        break;
      case Drained::Lines:
        std::this_thread::sleep_for(kPace);
        break;
      case Drained::More:
        break;
    }
    for (const DeviceStream& s : streams_) {
      if (s.started && s.sink) s.sink->Pass(s);
    }
    if (now >= nextCheck) {
      CheckHealth(now);
      ShowProgress(now, false);
      nextCheck = now + kCheckInterval;
    }
  }
  result.elapsedSeconds = SecondsSince(start_);
  for (DeviceStream& s : streams_) {
    if (!s.gaps) continue;
    PassWithheld(s);
    s.gaps->Settle(true);
  }
  ShowProgress(result.elapsedSeconds, true);
  for (DeviceStream& s : streams_) {
    s.stats.fasterThanPeriod = s.gaps && s.gaps->FasterThanPeriod();
    s.stats.slowerThanPeriod =
        s.periodUs > 0 && SlowerThanPeriod(s.linesByLast, s.firstAt, s.lastAt, s.periodUs);
  }
  StopAll();
  for (DeviceStream& s : streams_) {
    if (s.started && !s.anyLine && s.failure.empty() && result.end != RunEnd::NothingToWrite) {
      s.failure = "no data arrived after the stream was started (the instrument did not "
                  "acknowledge the start, or sends nothing)";
    }
  }
  if (result.end == RunEnd::Limit) {
    for (DeviceStream& s : streams_) s.MarkEndLoss();
  }
  if (std::any_of(streams_.begin(), streams_.end(),
                  [](const DeviceStream& s) { return s.started && !s.failure.empty(); })) {
    if (result.end == RunEnd::Limit) result.end = RunEnd::Failed;
  }
  return result;
}

}  // namespace vozihost
