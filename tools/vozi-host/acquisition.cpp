#include "acquisition.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "channel_scaling.h"
#include "platform/console.h"

namespace vozihost {
namespace {

using Clock = std::chrono::steady_clock;

// The library's ring holds at most 65535 bytes and drops the newest bytes
// when full. Found within a line's length of that, it has been (or is about
// to be) dropping text.
constexpr int32_t kRingFullBytes = 65535 - 512;
// Lines taken from one instrument per pass, so that one fast instrument
// cannot starve the others or the clock checks.
constexpr int kLinesPerPass = 4000;
// The longest the tool blocks in a read when nothing is waiting.
constexpr uint32_t kWaitMs = 20;
constexpr double kProgressInterval = 0.25;
// An instrument silent for this long (or five sample periods, if longer)
// has stopped streaming.
constexpr double kStallSeconds = 3.0;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

void DeviceStream::Consume(const std::string& line, const StreamLimits& limits) {
  if (done) return;
  const LineStatus status = ParseSampleLine(line, scaled, decoded_);
  stats.Count(status);
  if (status != LineStatus::Ok) return;
  // Every line the library completed stood for one sample, damaged or not
  // (its line end survived), so damaged lines keep their place in time.
  const uint64_t n = stats.samples + stats.malformed - 1;
  physical_.resize(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) physical_[k] = ToPhysical(decoded_[k], columns[k]);
  if (csv.IsOpen()) csv.WriteRow(n, periodUs, physical_);
  if (plot) plot->Add(n, physical_);
  if (limits.samples && stats.samples >= *limits.samples) done = true;
}

bool Acquisition::Configure(std::optional<int32_t> periodUs, std::string* error, int32_t* device) {
  for (DeviceStream& s : streams_) {
    const int32_t index = s.info.index;
    *device = index;
    if (periodUs && !session_.Command(index, VOZI_SELECT_PERIOD, *periodUs).ok) {
      *error = "device " + std::to_string(index) + ": SelectPeriod refused";
      return false;
    }
    // Every handshake starts with no channel enabled; disabling first makes
    // the set exact even on an instrument some earlier host configured.
    for (const ChannelInfo& c : s.info.channels) {
      const bool wanted = std::any_of(s.columns.begin(), s.columns.end(),
                                      [&](const ChannelInfo& k) { return k.index == c.index; });
      const VoziCommand code = wanted ? VOZI_ENABLE_CHANNEL : VOZI_DISABLE_CHANNEL;
      if (!session_.Command(index, code, c.index).ok) {
        *error = "device " + std::to_string(index) + ": " +
                 (wanted ? "EnableChannel " : "DisableChannel ") + std::to_string(c.index) +
                 " refused";
        return false;
      }
    }
  }
  return true;
}

bool Acquisition::Start(std::string* error, int32_t* device) {
  for (DeviceStream& s : streams_) {
    *device = s.info.index;
    if (!session_.Command(s.info.index, VOZI_START_STREAM).ok) {
      *error = "device " + std::to_string(s.info.index) + ": StartStream refused";
      StopAll();
      return false;
    }
  }
  return true;
}

bool Acquisition::LimitReached(double elapsed) const {
  if (limits_.seconds && elapsed >= *limits_.seconds) return true;
  if (limits_.samples) {
    return std::all_of(streams_.begin(), streams_.end(), [](const DeviceStream& s) { return s.done; });
  }
  return false;
}

bool Acquisition::DrainAll() {
  bool any = false;
  for (size_t i = 0; i < streams_.size(); ++i) {
    DeviceStream& s = streams_[i];
    const bool full = session_.BufferedBytes(s.info.index) >= kRingFullBytes;
    if (full && !ringWasFull_[i]) ++s.stats.ringOverflows;
    ringWasFull_[i] = full;
    for (int k = 0; k < kLinesPerPass && session_.ReadLine(s.info.index, line_, 0); ++k) {
      s.Consume(line_, limits_);
      any = true;
    }
  }
  return any;
}

// Nothing was waiting anywhere: block briefly in one instrument's read (in
// turn), instead of spinning. The library's calls are made one at a time, so
// the instruments are served from this one thread.
bool Acquisition::WaitForLine() {
  const size_t i = nextWait_++ % streams_.size();
  const uint32_t wait = std::max<uint32_t>(1, kWaitMs / static_cast<uint32_t>(streams_.size()));
  if (!session_.ReadLine(streams_[i].info.index, line_, wait)) return false;
  streams_[i].Consume(line_, limits_);
  return true;
}

void Acquisition::CheckHealth(double now) {
  for (size_t i = 0; i < streams_.size(); ++i) {
    DeviceStream& s = streams_[i];
    if (!s.failure.empty() || s.done) continue;
    if (session_.IsFailed(s.info.index)) {
      s.failure = "the instrument failed while streaming";
      continue;
    }
    const double stall = std::max(kStallSeconds, 5.0 * static_cast<double>(s.periodUs) / 1e6);
    if (now - lastLineAt_[i] > stall) {
      s.failure = s.stats.samples == 0 && s.stats.malformed == 0
                      ? "no data arrived after the stream was started"
                      : "the data stopped arriving";
    }
  }
}

void Acquisition::ShowProgress(double now, bool final) {
  if (!showProgress_) return;
  std::string text;
  for (const DeviceStream& s : streams_) {
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
    if (session_.IsFailed(s.info.index)) continue;
    session_.Command(s.info.index, VOZI_STOP_STREAM);
  }
}

RunResult Acquisition::Run() {
  const auto start = Clock::now();
  lastLineAt_.assign(streams_.size(), 0.0);
  ringWasFull_.assign(streams_.size(), false);
  std::vector<uint64_t> seen(streams_.size(), 0);
  RunResult result;
  double nextCheck = kProgressInterval;
  for (;;) {
    const double now = SecondsSince(start);
    if (StopRequested()) {
      result.end = RunEnd::Interrupted;
      break;
    }
    if (LimitReached(now)) break;
    if (!DrainAll()) WaitForLine();
    if (now >= nextCheck) {
      for (size_t i = 0; i < streams_.size(); ++i) {
        const uint64_t lines = streams_[i].stats.samples + streams_[i].stats.malformed;
        if (lines != seen[i]) lastLineAt_[i] = now;
        seen[i] = lines;
      }
      CheckHealth(now);
      ShowProgress(now, false);
      nextCheck = now + kProgressInterval;
      const bool failed = std::any_of(streams_.begin(), streams_.end(),
                                      [](const DeviceStream& s) { return !s.failure.empty(); });
      if (failed) {
        result.end = RunEnd::Failed;
        break;
      }
    }
  }
  result.elapsedSeconds = SecondsSince(start);
  ShowProgress(result.elapsedSeconds, true);
  StopAll();
  return result;
}

}  // namespace vozihost
