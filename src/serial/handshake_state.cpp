#include "serial/handshake_state.h"

// Each question names every state, without a default: a state added later
// must be placed in each (the compiler warns of one left out), and the
// order of the numbers matters nowhere.

bool HandshakeStateCell::VersionReceived(HandshakeState state) {
  switch (state) {
    case HandshakeState::NotStarted:
    case HandshakeState::Greeting:
    case HandshakeState::AwaitVersion:
      return false;
    case HandshakeState::AwaitFormat:
    case HandshakeState::AwaitPeriods:
    case HandshakeState::AwaitEnableAck:
    case HandshakeState::AwaitNames:
    case HandshakeState::AwaitUnits:
    case HandshakeState::AwaitMaxima:
    case HandshakeState::AwaitMinima:
    case HandshakeState::Idle:
    case HandshakeState::Starting:
    case HandshakeState::Stopping:
    case HandshakeState::Streaming:
      return true;
  }
  return false;
}

bool HandshakeStateCell::Handshaking(HandshakeState state) {
  switch (state) {
    case HandshakeState::Greeting:
    case HandshakeState::AwaitVersion:
    case HandshakeState::AwaitFormat:
    case HandshakeState::AwaitPeriods:
    case HandshakeState::AwaitEnableAck:
    case HandshakeState::AwaitNames:
    case HandshakeState::AwaitUnits:
    case HandshakeState::AwaitMaxima:
    case HandshakeState::AwaitMinima:
      return true;
    case HandshakeState::NotStarted:
    case HandshakeState::Idle:
    case HandshakeState::Starting:
    case HandshakeState::Stopping:
    case HandshakeState::Streaming:
      return false;
  }
  return false;
}

bool HandshakeStateCell::AwaitingAnswer(HandshakeState state) {
  switch (state) {
    case HandshakeState::Greeting:
    case HandshakeState::Starting:
    case HandshakeState::Stopping:
      return true;
    case HandshakeState::NotStarted:
    case HandshakeState::AwaitVersion:
    case HandshakeState::AwaitFormat:
    case HandshakeState::AwaitPeriods:
    case HandshakeState::AwaitEnableAck:
    case HandshakeState::AwaitNames:
    case HandshakeState::AwaitUnits:
    case HandshakeState::AwaitMaxima:
    case HandshakeState::AwaitMinima:
    case HandshakeState::Idle:
    case HandshakeState::Streaming:
      return false;
  }
  return false;
}
