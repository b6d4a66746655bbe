#include "session/stream_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "outputs/number_text.h"

namespace vozihost {

void StreamStats::Count(LineStatus status) {
  switch (status) {
    case LineStatus::Ok: ++samples; return;
    case LineStatus::NoPrefix: ++noPrefix; break;
    case LineStatus::WrongCount: ++wrongCount; break;
    case LineStatus::NotANumber:
    case LineStatus::OutOfRange: ++badValue; break;
  }
  ++malformed;
}

double SampleRate(uint64_t samples, double elapsedSeconds) {
  return elapsedSeconds > 0 ? static_cast<double>(samples) / elapsedSeconds : 0.0;
}

std::string ProgressText(const StreamStats& stats, double elapsedSeconds) {
  char text[160];
  std::snprintf(text, sizeof text, "%llu samples  %.1f s  dropped %llu",
                static_cast<unsigned long long>(stats.samples), elapsedSeconds,
                static_cast<unsigned long long>(stats.Dropped() + stats.lostEstimate));
  return text;
}

std::optional<double> ArrivalRate(uint64_t lines, double firstAt, double lastAt) {
  const double span = lastAt - firstAt;
  if (lines < 2 || span < 1.0) return std::nullopt;
  return static_cast<double>(lines - 1) / span;
}

bool SlowerThanPeriod(uint64_t lines, double firstAt, double lastAt, int64_t periodUs) {
  const std::optional<double> rate = ArrivalRate(lines, firstAt, lastAt);
  return rate && *rate < 0.75e6 / static_cast<double>(periodUs);
}

}  // namespace vozihost
