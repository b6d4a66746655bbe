// The device's reader thread: resend what the conversation waits for, wait at
// most 20 ms for input or the stop signal, read what arrived, cut it into
// lines and hand each line to the protocol.
#include "serial/vozi_serial.h"

namespace OpenKymo {
void VoziSerial::ReaderLoop() {
  for (;;) {
    if (protocol_) protocol_->pollTransmit(*this);
    const HResult result = WaitStep();
    if (result == kStopSeen) return;
    if (result == kE_ABORT) {
      // The conversation cannot go on, and without a reader nothing will
      // answer the host's commands: until it is started again the device
      // has failed.
      MarkReaderFailed();
      return;
    }
    if (result == kE_FAIL) {
      MarkReaderFailed();
      // Park until told to stop; a failed port would wake a poll at once.
      if (port_.ParkAfterFailure(stopEvent)) return;
    }
  }
}

void VoziSerial::MarkReaderFailed() {
  failed.store(true);
  readerFailed_.store(true, std::memory_order_release);
}

void VoziSerial::WakeReader() { port_.Wake(); }

HResult VoziSerial::WaitStep() {
  // A quiet line costs a wake-up every 20 ms only while a request is being
  // resent; otherwise the wait ends on input, the stop signal or WakeReader
  // (or sooner, where the port cannot be woken).
  const bool resending = !protocol_ || protocol_->awaitingAnswer(*this);
  switch (port_.WaitForInputOrWake(stopEvent, resending ? kReaderPollMs : kReaderIdleWaitMs)) {
    case platform::SerialPort::WaitOutcome::Quiet:
      return kS_OK;
    case platform::SerialPort::WaitOutcome::Stop:
      return kStopSeen;
    case platform::SerialPort::WaitOutcome::Failed:
      return kE_FAIL;
    case platform::SerialPort::WaitOutcome::Input:
      break;
  }
  const HResult result = ReadStep();
  if (result == kE_ABORT) return kE_ABORT;
  if (result == kS_OK) dataReadyEvent.Set();
  return kS_OK;
}

HResult VoziSerial::ReadStep() {
  uint8_t buffer[LineAssembler::kSize];
  if (lineAssembler.IsStalled()) lineAssembler.DiscardStalledLine();
  // Read no more than the assembler can take: what stays in the driver is
  // read on the next pass instead of being dropped.
  const int32_t count = port_.ReadAvailable(buffer, lineAssembler.Free());
  lineAssembler.Append(buffer, count);

  for (;;) {
    bool lfCr = false;
    const int32_t consumed = lineAssembler.TakeLine(buffer, &lfCr);
    if (consumed == 0) return kS_OK;
    const auto line = LineContent(buffer, consumed, lfCr);
    if (!line) continue;  // not a line of the instrument
    if (!protocol_) continue;
    const HResult result = protocol_->dispatchLine(*this, line->data(), static_cast<int32_t>(line->size()));
    if (result != kS_OK) return result;
  }
}

}  // namespace OpenKymo
