#pragma once
// The instruments of the soak, each with its own misbehaviour, and the host
// thread that drives each of them through the exports' shells.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "soak_host.h"
#include "stream_check.h"
#include "vozi_sim/instrument.h"

namespace soak {

enum class Fault {
  Garbage,              // binary noise between lines and over-long lines
  SingleByteWrites,     // every byte in its own write, LF CR line ends
  HangUp,               // the instrument goes away mid-stream
  HostStalls,           // the host stops draining for seconds: the ring overflows
  StopUnanswered,       // the instrument ignores the stop request
  FailedRestarts,       // wrong firmware: Initialise fails, again and again
  CloseWhileStreaming,  // CloseAll comes while the instrument streams
  Control,              // nothing wrong
};

struct Schedule {
  using Clock = std::chrono::steady_clock;
  Clock::time_point streamUntil;  // streaming phase ends
  // The stalling host reads for a while, then stops for stallFor, again
  // every stallEvery: at 1 ms per line the 64 KiB ring is full after about
  // two seconds.
  std::chrono::seconds firstStallAfter{2};
  std::chrono::seconds stallEvery{15};
  std::chrono::seconds stallFor{4};
  std::chrono::seconds parkedMeasure{3};
};

// The lines a streaming host reads at least, however late its stream began.
inline constexpr uint64_t kLeastLines = 2000;

// The data lines the hang-up instrument sends before it goes away.
inline constexpr uint64_t kHangUpAfterLines = 3000;

struct DeviceRun {
  DeviceRun(Fault fault, std::string name, vozisim::SimConfig cfg);

  const Fault fault;
  const std::string name;
  const vozisim::SimConfig cfg;
  vozisim::Instrument sim;
  int32_t index = -1;
  pid_t readerTid = 0;  // the hang-up device's reader, found at its start

  // Filled by the host thread.
  std::unique_ptr<StreamCheck> check;
  std::vector<std::string> problems;
  std::atomic<const char*> inCall{nullptr};  // what the host thread is doing, for a stuck run
  std::atomic<bool> finished{false};
  int initialisations = 0;
  int32_t stateAfterStop = -1;
  int32_t mostHeld = 0;  // the largest backlog the host found in the ring before a read
  std::optional<double> parkedCpuSeconds;
  double parkedSeconds = 0;
  std::optional<char> parkedState;
};

// The eight instruments, one per fault.
std::vector<std::unique_ptr<DeviceRun>> MakeRuns();

// The host thread of one device. `closing` tells the device that is closed
// while streaming to stop reading.
void RunHost(SoakHost& host, DeviceRun& run, const Schedule& schedule, const std::atomic<bool>& closing);

// The fields the host enables, and the counter among them.
inline const std::vector<size_t> kEnabledFields = {1, 2, 3, 4, 5};
inline constexpr size_t kCounterField = 5;

}  // namespace soak
