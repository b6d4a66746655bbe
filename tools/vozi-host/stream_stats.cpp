#include "stream_stats.h"

#include <cmath>
#include <cstdio>

#include "number_text.h"

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
  std::snprintf(text, sizeof text, "%llu samples  %.1f/s  %.1f s  dropped %llu",
                static_cast<unsigned long long>(stats.samples),
                SampleRate(stats.samples, elapsedSeconds), elapsedSeconds,
                static_cast<unsigned long long>(stats.Dropped()));
  return text;
}

bool RateContradictsPeriod(uint64_t samples, double elapsedSeconds, int64_t periodUs) {
  if (periodUs <= 0 || elapsedSeconds < 1.0) return false;
  const double expected = elapsedSeconds * 1e6 / static_cast<double>(periodUs);
  // A handful of samples either way proves nothing (the run started late).
  if (samples < 20 && expected < 20) return false;
  return std::abs(static_cast<double>(samples) - expected) > 0.2 * expected;
}

}  // namespace vozihost
