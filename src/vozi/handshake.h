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

#include "serial/handshake_state.h"
#include "serial/line_protocol.h"
#include "vozi/sample_decoder.h"

namespace OpenKymo {
class VoziSerial;
}

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
