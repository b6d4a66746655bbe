#pragma once
// Where the conversation with the instrument stands. The host's threads and
// the device's reader thread both move it, so every change goes through this
// one type: the host sets a state it asks for, the reader advances only from
// the state it saw, and both ask questions by name. Nothing outside compares
// state numbers, so renumbering a state breaks nothing.
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "platform/deadline.h"
#include "platform/sync.h"

enum class HandshakeState : int32_t {
  NotStarted,
  Greeting,        // "S" resent until the instrument answers "S"
  AwaitVersion,    // "V" sent
  AwaitFormat,     // "F" sent: the "F" header line, then the format line
  AwaitPeriods,    // next line: the sample periods
  AwaitEnableAck,  // "U" sent
  AwaitNames,      // "I" sent: the "I" header line, then the names line
  AwaitUnits,
  AwaitMaxima,
  AwaitMinima,
  Idle,       // description complete; lines are ignored
  Starting,   // "B" resent until the instrument answers "B"
  Stopping,   // "S" resent until the instrument answers "S"
  Streaming,  // every line is a data line
};

// The state's name as the trace shows it. No default: a state added above
// without a name here is a compiler warning.
constexpr const char* StateName(HandshakeState state) {
  using S = HandshakeState;
  switch (state) {
    case S::NotStarted: return "NotStarted";
    case S::Greeting: return "Greeting";
    case S::AwaitVersion: return "AwaitVersion";
    case S::AwaitFormat: return "AwaitFormat";
    case S::AwaitPeriods: return "AwaitPeriods";
    case S::AwaitEnableAck: return "AwaitEnableAck";
    case S::AwaitNames: return "AwaitNames";
    case S::AwaitUnits: return "AwaitUnits";
    case S::AwaitMaxima: return "AwaitMaxima";
    case S::AwaitMinima: return "AwaitMinima";
    case S::Idle: return "Idle";
    case S::Starting: return "Starting";
    case S::Stopping: return "Stopping";
    case S::Streaming: return "Streaming";
  }
  return "unknown";
}

class HandshakeStateCell {
 public:
  // Acquire: what the reader wrote before it moved the state (the version
  // texts) is visible to whoever sees the new state.
  HandshakeState Load() const { return state_.load(std::memory_order_acquire); }
  bool Is(HandshakeState state) const { return Load() == state; }

  // The host's requests and a restart's reset: the state is set whatever it
  // was. Release, so that the reader sees what the host did before.
  void SetState(HandshakeState state) { state_.store(state, std::memory_order_release); }

  // The reader thread moves on only from the state it saw: a host thread may
  // have changed it since (a stop request while the instrument's "B" is on
  // its way), and the host's request must not be lost. Release publishes
  // what the reader wrote before. False when the state had changed.
  bool Advance(HandshakeState from, HandshakeState to) {
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel, std::memory_order_acquire);
  }

  // The version line has been read: its texts are published.
  static bool VersionReceived(HandshakeState state);
  bool VersionReceived() const { return VersionReceived(Load()); }
  // The handshake runs: from the greeting to the last range line.
  static bool Handshaking(HandshakeState state);
  bool Handshaking() const { return Handshaking(Load()); }
  // A request is resent until the instrument answers it.
  static bool AwaitingAnswer(HandshakeState state);

  // Host side: looks at the state every stepMs until it is one of `states`
  // (true) or the time is up (false; see WaitUntil).
  bool AwaitAnyOf(std::initializer_list<HandshakeState> states, uint32_t limitMs, uint32_t stepMs) const {
    return WaitUntil([states](HandshakeState now) { return IsOneOf(now, states); }, limitMs, stepMs);
  }
  bool WaitForState(HandshakeState state, uint32_t limitMs, uint32_t stepMs) const {
    return AwaitAnyOf({state}, limitMs, stepMs);
  }
  // Looks every stepMs, each look after a sleep, until done(state) holds
  // (true) or the time is up (false). A step begins as long as no more than
  // limitMs have passed, so the last one begins at the limit and the whole
  // wait lasts limitMs and one step. stillWorth() is asked between looks
  // every pollMs at most; once it says no, nothing more can change the state
  // and the wait ends (false).
  template <typename Done, typename StillWorth>
  bool WaitUntil(Done done, uint32_t limitMs, uint32_t stepMs, StillWorth stillWorth, uint32_t pollMs) const {
    const platform::Deadline deadline(limitMs + stepMs);
    for (;;) {
      for (platform::Deadline step(stepMs); !step.Expired();) {
        if (!stillWorth()) return false;
        const uint32_t left = step.RemainingMs();
        platform::SleepMs(left < pollMs ? left : pollMs);
      }
      if (!stillWorth()) return false;
      if (done(Load())) return true;
      if (deadline.Expired()) return false;
    }
  }
  template <typename Done>
  bool WaitUntil(Done done, uint32_t limitMs, uint32_t stepMs) const {
    return WaitUntil(done, limitMs, stepMs, [] { return true; }, stepMs);
  }

 private:
  static bool IsOneOf(HandshakeState state, std::initializer_list<HandshakeState> states) {
    for (HandshakeState s : states) {
      if (s == state) return true;
    }
    return false;
  }

  std::atomic<HandshakeState> state_{HandshakeState::NotStarted};
};
