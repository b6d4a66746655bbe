#include "serial/handshake_state.h"

namespace {

struct Traits {
  bool versionReceived;  // the version line has been read
  bool handshaking;      // from the greeting to the last range line
  bool awaitingAnswer;   // a request is resent until the instrument answers
};

// Every state once, without a default: a state added later must be placed
// here (the compiler warns of one left out), and the order of the numbers
// matters nowhere.
Traits TraitsOf(HandshakeState state) {
  using S = HandshakeState;
  switch (state) {
    case S::NotStarted: return {false, false, false};
    case S::Greeting: return {false, true, true};
    case S::AwaitVersion: return {false, true, false};
    case S::AwaitFormat: return {true, true, false};
    case S::AwaitPeriods: return {true, true, false};
    case S::AwaitEnableAck: return {true, true, false};
    case S::AwaitNames: return {true, true, false};
    case S::AwaitUnits: return {true, true, false};
    case S::AwaitMaxima: return {true, true, false};
    case S::AwaitMinima: return {true, true, false};
    case S::Idle: return {true, false, false};
    case S::Starting: return {true, false, true};
    case S::Stopping: return {true, false, true};
    case S::Streaming: return {true, false, false};
  }
  return {false, false, false};  // a value no state has: ignored as NotStarted is
}

}  // namespace

bool HandshakeStateCell::VersionReceived(HandshakeState state) { return TraitsOf(state).versionReceived; }

bool HandshakeStateCell::Handshaking(HandshakeState state) { return TraitsOf(state).handshaking; }

bool HandshakeStateCell::AwaitingAnswer(HandshakeState state) { return TraitsOf(state).awaitingAnswer; }
