#pragma once
// The stream of one started instrument: the receive ring drained through
// the exports into a SampleConverter, and what can be known about loss.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "arrival_clock.h"
#include "enabler_library.h"
#include "sample_converter.h"

namespace vozipy {

class InstrumentStream {
 public:
  // periodUs: the period the instrument streams at (0: none known).
  InstrumentStream(std::shared_ptr<EnablerLibrary> library, int32_t index,
                   std::vector<ColumnScale> columns, int64_t periodUs);

  struct Drain {
    size_t bytes = 0;     // taken from the ring and converted
    bool failed = false;  // the library marks the instrument failed
  };
  // Takes everything the ring holds; when it holds nothing, first waits up
  // to waitMs for a complete line. Blocks other users of the library while
  // it waits, so the wait is kept short by the caller.
  Drain DrainOnce(uint32_t waitMs);

  // Callers hold Guard() around DrainOnce and the converter's use: one
  // instrument may be read from several threads.
  std::unique_lock<std::mutex> Guard() { return std::unique_lock<std::mutex>(mutex_); }
  SampleConverter& Converter() { return converter_; }
  int32_t Index() const { return index_; }
  // Once the instrument is closed its index may name another instrument
  // after the next discovery pass: a stopped stream reads nothing more.
  void Stop() { stopped_.store(true); }
  bool Stopped() const { return stopped_.load(); }
  // Drains that found the ring full since the previous one (within a
  // longest line of it): the enabler refuses whole lines then, so lines may
  // have been lost before the text each of them took.
  uint64_t RingOverflows() const { return ringOverflows_; }
  // Lines that never arrived, as the time since the first one shows.
  const ArrivalClock& Clock() const { return clock_; }

 private:
  std::shared_ptr<EnablerLibrary> library_;
  int32_t index_;
  SampleConverter converter_;
  std::mutex mutex_;
  std::vector<char> buffer_;
  std::atomic<bool> stopped_{false};
  uint64_t ringOverflows_ = 0;
  uint64_t bytesTaken_ = 0;
  ArrivalClock clock_;
};

}  // namespace vozipy
