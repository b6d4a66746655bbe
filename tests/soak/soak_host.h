#pragma once
// The host's side of the soak: the exports' shells over the core, called the
// way libvozi.so calls it (StartDevice behind Initialise, handleCommand behind
// DeviceCommand, VoziSerial::ReadLine behind ReadLine, destruction from the
// last device to the first behind CloseAll), with every call timed against
// the bound the host may rely on. Running in-process keeps the ring's count of
// refused lines within reach.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/vozi_serial.h"
#include "vozi_enabler.h"

namespace soak {

// How long each export may take, beyond what it is specified to wait.
struct Bounds {
  std::chrono::milliseconds margin{1000};
  // Start-up: at most 16 one-second sleeps, then the firmware check.
  std::chrono::milliseconds initialise{16000};
  // A command first waits up to 15 s for the description.
  std::chrono::milliseconds descriptionWait{15000};
  // Stop: 251 sleeps of 20 ms. Start: up to 5 s for the handshake, a stop,
  // and up to 5 s for the stream to begin.
  std::chrono::milliseconds stopStream{5020};
  std::chrono::milliseconds startStream{15040};
  // Per device: the stop frame's 20 ms, the 20 ms pause and a reader that
  // sees its stop within one 20 ms poll step.
  std::chrono::milliseconds closePerDevice{1000};
};

class SoakHost {
 public:
  explicit SoakHost(Bounds bounds) : bounds_(bounds) {}
  ~SoakHost();

  // Appends a device, as FindDevice does; returns its index.
  int32_t Add(std::unique_ptr<OpenKymo::VoziSerial> device);
  OpenKymo::VoziSerial& Device(int32_t index) { return *devices_.at(static_cast<size_t>(index)); }
  int32_t Count() const { return static_cast<int32_t>(devices_.size()); }

  int32_t Initialise(int32_t index);
  int32_t IsFailed(int32_t index);
  int32_t ReadLine(int32_t index, char* destination, int32_t maximum, uint32_t timeoutMs);
  int32_t DeviceCommand(int32_t index, int32_t code, CommandRecord* record);
  int32_t CloseAll();

  // A command without a text reply.
  bool Command(int32_t index, int32_t code, int32_t argument = 0);

  // Calls that overran their bound, one text each.
  std::vector<std::string> Overruns() const;
  // One line per export: calls made, the longest call and the least
  // headroom any call left to its bound.
  std::string Summary() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum Export { kInitialise, kReadLine, kDeviceCommand, kCloseAll, kExportCount };
  void Record(Export which, const std::string& what, Clock::duration took, Clock::duration allowed);

  const Bounds bounds_;
  std::vector<std::unique_ptr<OpenKymo::VoziSerial>> devices_;

  mutable std::mutex lock_;
  std::vector<std::string> overruns_;
  uint64_t calls_[kExportCount] = {};
  Clock::duration longest_[kExportCount] = {};
  Clock::duration leastHeadroom_[kExportCount] = {};
};

}  // namespace soak
