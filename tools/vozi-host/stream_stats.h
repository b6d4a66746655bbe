#pragma once
// What the tool counts while streaming, and how it reports it: the live
// progress line and the closing summary.
#include <cstdint>
#include <string>

#include "sample_line.h"

namespace vozihost {

struct StreamStats {
  uint64_t samples = 0;         // lines parsed and written
  uint64_t malformed = 0;       // lines that could not be parsed (see below)
  uint64_t noPrefix = 0;        //   of which: start of the line lost
  uint64_t wrongCount = 0;      //   of which: values lost or run together
  uint64_t badValue = 0;        //   of which: not a number, or scaled value out of range
  uint64_t ringOverflows = 0;   // times the library's receive ring was found full:
                                // the enabler drops text then, so lines were lost
  void Count(LineStatus status);
  uint64_t Dropped() const { return malformed + ringOverflows; }
};

// "12345 samples  1000.2/s  12.3 s  dropped 0" for one device.
std::string ProgressText(const StreamStats& stats, double elapsedSeconds);

// Samples per second over the elapsed time; 0 before any time has passed.
double SampleRate(uint64_t samples, double elapsedSeconds);

// Whether the measured rate contradicts the period the time column assumes:
// more than 20 % off, judged only when there was enough to judge by.
bool RateContradictsPeriod(uint64_t samples, double elapsedSeconds, int64_t periodUs);

}  // namespace vozihost
