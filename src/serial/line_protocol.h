#pragma once
// The instrument's line protocol as the reader thread drives it: one call per
// pass before waiting for input, one call per complete received line.
#include <cstdint>

#include "platform/hresult.h"

namespace OpenKymo {
class VoziSerial;
}

class LineProtocol {
 public:
  virtual ~LineProtocol() = default;
  // Resends whatever the conversation is waiting to have answered.
  virtual void pollTransmit(OpenKymo::VoziSerial& device) = 0;
  // True while the conversation resends a request on every pass; otherwise
  // the reader need not wake until input, a stop or a wake-up call.
  virtual bool awaitingAnswer(const OpenKymo::VoziSerial&) const { return true; }
  // Handles one line: no leading white space, no CR or LF, no zero byte;
  // empty only when a zero byte came first.
  // kS_OK to go on, kE_ABORT to end the reader thread.
  virtual HResult dispatchLine(OpenKymo::VoziSerial& device, const char* line, int32_t length) = 0;
};
