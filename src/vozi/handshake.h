#pragma once
// The instrument's line protocol: the handshake that greets the instrument and
// reads its version, channel format, sample periods and channel description,
// then idling and streaming as the host asks for them.
//
// Every answer of the instrument begins with the letter of the command it
// answers; the reader thread hands each line to dispatchLine and, before each
// wait for input, calls pollTransmit to repeat a request still unanswered.
#include <cstdint>
#include <string_view>

#include "serial/line_protocol.h"
#include "vozi/sample_decoder.h"

namespace OpenKymo {
class VoziSerial;
}

// Values of VoziSerial::handshakeState. The numbers are part of the contract:
// start-up waits for a state above AwaitVersion, the device commands test for
// Idle and Streaming.
enum class HandshakeState : int32_t {
  NotStarted = 0,
  Greeting = 1,       // "S" resent until the instrument answers "S"
  AwaitVersion = 2,   // "V" sent
  AwaitFormat = 3,    // "F" sent: the "F" header line, then the format line
  AwaitPeriods = 4,   // next line: the sample periods
  AwaitEnableAck = 5, // "U" sent
  AwaitNames = 6,     // "I" sent: the "I" header line, then the names line
  AwaitUnits = 7,
  AwaitMaxima = 8,
  AwaitMinima = 9,
  Idle = 10,          // description complete; lines are ignored
  Starting = 11,      // "B" resent until the instrument answers "B"
  Stopping = 12,      // "S" resent until the instrument answers "S"
  Streaming = 13,     // every line is a data line
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
constexpr const char* StateName(int32_t state) { return StateName(static_cast<HandshakeState>(state)); }

// Model name used when the version line names none.
inline constexpr char16_t kDefaultModelName[] = u"RezuzeRidev";

class Handshake : public LineProtocol {
 public:
  void pollTransmit(OpenKymo::VoziSerial& device) override;
  bool awaitingAnswer(const OpenKymo::VoziSerial& device) const override;
  HResult dispatchLine(OpenKymo::VoziSerial& device, const char* line, int32_t length) override;

 private:
  HResult Dispatch(OpenKymo::VoziSerial& device, HandshakeState state, std::string_view line);
  void ReadVersionLine(OpenKymo::VoziSerial& device, std::string_view line);
  HResult ReadNamesLine(OpenKymo::VoziSerial& device, std::string_view line);
  void StartDescription(OpenKymo::VoziSerial& device, std::string_view periodLine);

  SampleDecoder decoder_;
};

HandshakeState CurrentState(const OpenKymo::VoziSerial& device);

// True while the handshake runs (states Greeting to AwaitMinima).
bool isHandshaking(const OpenKymo::VoziSerial& device);

// Host side: asks the instrument to stop (state Stopping, "S" resent by the
// reader thread) and waits in 20 ms steps, up to about 5 s, for the answer that
// brings the device back to Idle. The caller is not told whether it came.
void StopStreaming(OpenKymo::VoziSerial& device);
inline constexpr uint32_t kStreamWaitStepMs = 20;
inline constexpr uint32_t kStreamWaitLimitMs = 5000;
