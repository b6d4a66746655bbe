#include "soak_scenario.h"

#include <algorithm>
#include <thread>

#include "thread_census.h"
#include "vozi/device_commands.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kReadTimeoutMs = 200;
constexpr int32_t kLineBytes = 128;  // a decoded line of five values is at most 32

int32_t Code(CommandCode code) { return static_cast<int32_t>(code); }

class HostThread {
 public:
  HostThread(SoakHost& host, DeviceRun& run, const Schedule& schedule, const std::atomic<bool>& closing)
      : host_(host), run_(run), schedule_(schedule), closing_(closing) {}

  void Run() {
    switch (run_.fault) {
      case Fault::HangUp: HangUp(); break;
      case Fault::FailedRestarts: FailedRestarts(); break;
      case Fault::CloseWhileStreaming:
        if (Start()) ReadWhile([&] { return !closing_.load(); });
        break;
      default:
        if (Start()) ReadWhile([&] { return Streaming(); });
        ReadEverythingSent();
        StopAndDrain();
        break;
    }
    Doing(nullptr);
  }

 private:
  void Problem(const std::string& text) { run_.problems.push_back(text); }
  void Doing(const char* what) { run_.inCall.store(what); }

  bool Start() {
    Doing("Initialise");
    ++run_.initialisations;
    if (host_.Initialise(run_.index) != 1) {
      Problem("Initialise failed");
      return false;
    }
    Doing("DeviceCommand(EnableChannel)");
    for (size_t field : kEnabledFields) {
      if (!host_.Command(run_.index, Code(CommandCode::EnableChannel), static_cast<int32_t>(field))) {
        Problem("EnableChannel " + std::to_string(field) + " failed");
      }
    }
    Doing("DeviceCommand(StartStream)");
    if (!host_.Command(run_.index, Code(CommandCode::StartStream))) {
      Problem("StartStream failed");
      return false;
    }
    run_.check = std::make_unique<StreamCheck>(run_.cfg, kEnabledFields, kCounterField);
    return true;
  }

  ReceiveRing* Ring() { return host_.Device(run_.index).Ring(); }

  // One ReadLine; false when it timed out.
  bool ReadOne() {
    char line[kLineBytes];
    if (ReceiveRing* ring = Ring()) run_.mostHeld = std::max(run_.mostHeld, ring->Size());
    Doing("ReadLine");
    if (host_.ReadLine(run_.index, line, sizeof line, kReadTimeoutMs) != 1) return false;
    if (run_.check) run_.check->Take(line);
    return true;
  }

  // Reads while `more` holds. The stalling host stops reading for seconds at
  // a time, long enough for the instrument to overflow the ring: at least
  // once, even when a slow start-up left its stream too short for a stall.
  template <typename More>
  void ReadWhile(More more) {
    const bool stalls = run_.fault == Fault::HostStalls;
    auto nextStall = Clock::now() + schedule_.firstStallAfter;
    bool stalled = false;
    for (;;) {
      const bool stallOwed = stalls && !stalled;
      if (!more() && !stallOwed) break;
      const auto now = Clock::now();
      if (stalls && now >= nextStall && (stallOwed || now + schedule_.stallFor < schedule_.streamUntil)) {
        Stall();
        stalled = true;
        nextStall += schedule_.stallEvery;
        continue;
      }
      ReadOne();
    }
  }

  // Until the streaming phase ends and, after a start-up slowed down by a
  // loaded machine, until enough lines have come to judge the stream by
  // (within the soak's watchdog).
  bool Streaming() const {
    const auto now = Clock::now();
    if (now < schedule_.streamUntil) return true;
    return run_.check && run_.check->Lines() < kLeastLines && now < schedule_.streamUntil + 15s;
  }

  // Stops reading for stallFor and, however slowly a loaded machine delivers
  // the lines, until the ring has refused some.
  void Stall() {
    Doing(nullptr);
    ReceiveRing* ring = Ring();
    const uint64_t refused = ring ? ring->DroppedLines() : 0;
    const auto least = Clock::now() + schedule_.stallFor;
    const auto most = Clock::now() + 15s;
    while (Clock::now() < most && (Clock::now() < least || (ring && ring->DroppedLines() == refused))) {
      std::this_thread::sleep_for(10ms);
    }
  }

  // The instrument stops sending; every line it sent must then reach the
  // host or have been refused by the ring. However slowly a loaded machine
  // delivers them, the reading goes on while lines keep coming.
  void ReadEverythingSent() {
    run_.sim.StopSendingData();
    ReceiveRing* ring = Ring();
    if (!ring || !run_.check) return;
    auto progress = Clock::now();
    for (;;) {
      const bool final = run_.sim.AllDataSent();
      const uint64_t sent = run_.sim.DataLinesSent();
      const uint64_t accounted = run_.check->Lines() + run_.check->Bad() + ring->DroppedLines();
      if (final && accounted >= sent) return;
      if (ReadOne()) {
        progress = Clock::now();
      } else if (Clock::now() - progress > 10s) {
        Problem("no line for 10 s, with " + std::to_string(sent - std::min(sent, accounted)) +
                " sent but neither read nor refused");
        return;
      }
    }
  }

  void StopAndDrain() {
    Doing("DeviceCommand(StopStream)");
    if (!host_.Command(run_.index, Code(CommandCode::StopStream))) Problem("StopStream returned false");
    run_.stateAfterStop = static_cast<int32_t>(host_.Device(run_.index).handshakeState.Load());
    // Stopped (or stuck in the stopping state, where lines are no longer
    // decoded): whatever still comes is more than was sent.
    while (ReadOne()) {
    }
  }

  void HangUp() {
    // Started by the soak itself (to learn its reader's thread id): running,
    // so Initialise must answer at once without a new handshake.
    if (!Start()) return;
    const auto giveUp = Clock::now() + 30s;
    while (Clock::now() < giveUp) {
      if (!ReadOne() && host_.IsFailed(run_.index)) break;
    }
    if (!host_.IsFailed(run_.index)) Problem("the device never failed after the hang-up");
    Doing(nullptr);
    // The reader should now be parked on its stop signal: no CPU at all.
    const auto cpuBefore = ThreadCpuSeconds(run_.readerTid);
    const auto from = Clock::now();
    std::this_thread::sleep_for(schedule_.parkedMeasure);
    const auto cpuAfter = ThreadCpuSeconds(run_.readerTid);
    run_.parkedSeconds = std::chrono::duration<double>(Clock::now() - from).count();
    run_.parkedState = ThreadState(run_.readerTid);
    if (cpuBefore && cpuAfter) run_.parkedCpuSeconds = *cpuAfter - *cpuBefore;
    // Reads on the failed device still come back within their timeout.
    while (Clock::now() < schedule_.streamUntil) {
      if (ReadOne()) Problem("a line arrived after the hang-up");
    }
  }

  void FailedRestarts() {
    while (Clock::now() < schedule_.streamUntil) {
      Doing("Initialise");
      ++run_.initialisations;
      if (host_.Initialise(run_.index) != 0) Problem("Initialise accepted the wrong firmware");
      OpenKymo::VoziSerial& device = host_.Device(run_.index);
      if (!device.firmwareWrong.load() || !device.failed.load()) Problem("wrong firmware not flagged");
      if (run_.initialisations == 2) {
        // The refused device is still described: commands work on it.
        Doing("DeviceCommand(GetModelName)");
        if (!host_.Command(run_.index, Code(CommandCode::GetModelName))) Problem("GetModelName failed");
      }
      if (ReadOne()) Problem("a line arrived from a device that never streamed");
    }
  }

  SoakHost& host_;
  DeviceRun& run_;
  const Schedule& schedule_;
  const std::atomic<bool>& closing_;
};

vozisim::SimConfig Config(Fault fault) {
  vozisim::SimConfig cfg;  // six fields, the fastest period 1 ms, field 5 a counter
  switch (fault) {
    case Fault::Garbage:
      cfg.noiseEvery = 3;
      cfg.longLineEvery = 500;
      break;
    case Fault::SingleByteWrites:
      cfg.splitWrites = true;
      cfg.lfCr = true;
      break;
    case Fault::HangUp: cfg.hangUpAfter = kHangUpAfterLines; break;
    case Fault::StopUnanswered: cfg.noStopAck = true; break;
    case Fault::FailedRestarts: cfg.firmware = "2"; break;  // the soak requires 1
    default: break;
  }
  return cfg;
}

}  // namespace

DeviceRun::DeviceRun(Fault f, std::string n, vozisim::SimConfig c)
    : fault(f), name(std::move(n)), cfg(std::move(c)), sim(cfg) {}

std::vector<std::unique_ptr<DeviceRun>> MakeRuns() {
  const std::pair<Fault, const char*> plan[] = {
      {Fault::Garbage, "garbage"},
      {Fault::SingleByteWrites, "single-byte"},
      {Fault::HangUp, "hang-up"},
      {Fault::HostStalls, "host-stalls"},
      {Fault::StopUnanswered, "stop-unanswered"},
      {Fault::FailedRestarts, "failed-restarts"},
      {Fault::CloseWhileStreaming, "close-streaming"},
      {Fault::Control, "control"},
  };
  std::vector<std::unique_ptr<DeviceRun>> runs;
  for (const auto& [fault, name] : plan) runs.push_back(std::make_unique<DeviceRun>(fault, name, Config(fault)));
  return runs;
}

void RunHost(SoakHost& host, DeviceRun& run, const Schedule& schedule, const std::atomic<bool>& closing) {
  HostThread(host, run, schedule, closing).Run();
  run.finished.store(true);
}

}  // namespace soak
