#pragma once
// What the tool counts while streaming, and how it reports it: the live
// progress line and the closing summary.
#include <cstdint>
#include <optional>
#include <string>

#include "session/sample_line.h"

namespace vozihost {

struct StreamStats {
  uint64_t samples = 0;         // lines parsed and written
  uint64_t malformed = 0;       // lines that could not be parsed (see below)
  uint64_t noPrefix = 0;        //   of which: start of the line lost
  uint64_t wrongCount = 0;      //   of which: values lost or run together
  uint64_t badValue = 0;        //   of which: not a number, or scaled value out of range
  uint64_t ringOverflows = 0;   // times the library's receive ring was found full:
                                // the enabler drops text then, so lines were lost
  uint64_t lostEstimate = 0;    // samples missing between lines, as estimated from time
  uint64_t unplaced = 0;        //   of which: lines taken between lines the ring refused,
                                //   left out (their place cannot be known)
  uint64_t gaps = 0;            // places where samples are missing (rows marked in the CSV)
  uint64_t gapsOfUnknownSize = 0;
  bool fasterThanPeriod = false;  // more lines than the period allows: the period is wrong
  bool slowerThanPeriod = false;  // far fewer: a wrong period, or lines lost on the way

  void Count(LineStatus status);
  uint64_t Dropped() const { return malformed + ringOverflows; }
  bool Lost() const { return malformed > 0 || gaps > 0 || ringOverflows > 0; }
};

// "12345 samples  1000.2/s  12.3 s  dropped 0" for one device.
std::string ProgressText(const StreamStats& stats, double elapsedSeconds);

// Samples per second over the elapsed time; 0 before any time has passed.
double SampleRate(uint64_t samples, double elapsedSeconds);

// The rate measured from arrival times: lines after the first over the time
// from the first to the last. None when the lines span less than a second
// (they arrive in bursts; a shorter span says nothing about the rate).
std::optional<double> ArrivalRate(uint64_t lines, double firstAt, double lastAt);

// Whether the lines arrived at well under the rate the period gives: below
// three quarters of it, measured as ArrivalRate does (so over a second at
// least, where arrival jitter no longer counts). Either more than a quarter
// of them were lost on the way, or the instrument streams at a longer period.
bool SlowerThanPeriod(uint64_t lines, double firstAt, double lastAt, int64_t periodUs);

}  // namespace vozihost
