#pragma once
// The instrument thread: waits on the pty, the open watcher and the wake-up
// event, answers frames, paces the stream and writes the output queue.
#include <chrono>
#include <optional>
#include <string>

#include "open_watcher.h"
#include "pseudo_terminal.h"
#include "vozi_sim/conversation.h"
#include "vozi_sim/instrument.h"
#include "vozi_sim/output_queue.h"
#include "vozi_sim/stream_clock.h"

namespace vozisim {

struct Instrument::Engine {
  using Clock = std::chrono::steady_clock;

  Engine(Instrument& owner, const SimConfig& cfg);

  // Serves until Stop, HangUp or the hang-up fault; returns on the thread's end.
  void Run();

  PseudoTerminal pty;
  OpenWatcher watcher;
  Conversation conversation;

 private:
  bool HostPresent() const;
  std::optional<Clock::time_point> NextWake(Clock::time_point now) const;
  void WatchOpens();
  void ReadFrames(Clock::time_point now);
  void HandleFrame(const Frame& frame, Clock::time_point now);
  void Generate(Clock::time_point now);
  void QueueDataLine(uint64_t n);
  void Flush(Clock::time_point now);
  void LetHostReadTheRest();
  void HangUp();

  Instrument& owner_;
  const SimConfig& cfg_;
  FrameParser parser_;
  SampleGenerator generator_;
  OutputQueue output_;
  StreamClock clock_;
  const std::string longLine_;
  bool generating_ = false;
  uint64_t nextSample_ = 0;
  uint64_t dataQueued_ = 0;  // data lines queued since Start, for the faults
  uint64_t longLinesQueued_ = 0;
  bool hangUpPending_ = false;
};

}  // namespace vozisim
