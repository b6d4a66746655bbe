// The device's reader thread: resend what the conversation waits for, wait at
// most 20 ms for input or the stop signal, read what arrived, cut it into
// lines and hand each line to the protocol.
#include "serial/vozi_serial.h"

#include "platform/deadline.h"
#include "trace/trace.h"

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
      trace::Step(portName, "reader ends: the conversation cannot go on");
      MarkReaderFailed();
      return;
    }
    if (result == kE_FAIL) {
      trace::Step(portName, "reader parked: the port failed");
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
  const uint32_t timeoutMs = resending ? kReaderPollMs : kReaderIdleWaitMs;
  platform::SerialPort::WaitOutcome outcome;
  if (unsignalledBytes_ > 0) {
    // A burst is arriving and the host has not been told of the last reads:
    // take what is already here first, and tell it once the port is quiet.
    outcome = port_.WaitForInputOrWake(stopEvent, 0);
    if (outcome == platform::SerialPort::WaitOutcome::Quiet) {
      SignalHost();
      outcome = port_.WaitForInputOrWake(stopEvent, timeoutMs);
    }
  } else {
    outcome = port_.WaitForInputOrWake(stopEvent, timeoutMs);
  }
  switch (outcome) {
    case platform::SerialPort::WaitOutcome::Quiet:
      return kS_OK;
    case platform::SerialPort::WaitOutcome::Stop:
      SignalHostIfHeldBack();
      return kStopSeen;
    case platform::SerialPort::WaitOutcome::Failed:
      SignalHostIfHeldBack();
      return kE_FAIL;
    case platform::SerialPort::WaitOutcome::Input:
      break;
  }
  const HResult result = ReadStep();
  if (result == kE_ABORT) {
    SignalHostIfHeldBack();
    return kE_ABORT;
  }
  if (result == kS_OK) {
    // Waking a waiting host costs both threads a kernel crossing and a
    // switch. While reads come back big, more is surely on its way, so the
    // host is woken once per batch instead of once per read: when the port
    // falls quiet, or at the latest after kSignalBatchBytes or
    // kSignalBatchUs, so that a stream that never pauses is not held back.
    if (lastReadBytes_ < kBurstReadBytes) {
      SignalHost();
      return kS_OK;
    }
    const uint64_t nowUs = platform::MonotonicMicroseconds();
    if (unsignalledBytes_ == 0) unsignalledSinceUs_ = nowUs;
    unsignalledBytes_ += lastReadBytes_;
    const bool heldTooLong = nowUs - unsignalledSinceUs_ >= kSignalBatchUs;
    if (unsignalledBytes_ >= kSignalBatchBytes || heldTooLong) SignalHost();
  }
  return kS_OK;
}

void VoziSerial::SignalHost() {
  unsignalledBytes_ = 0;
  dataReadyEvent.Set();
}

void VoziSerial::SignalHostIfHeldBack() {
  if (unsignalledBytes_ > 0) SignalHost();
}

HResult VoziSerial::ReadStep() {
  return ReceiveLines(
      lineAssembler,
      [this](uint8_t* buffer, int32_t maxBytes) { return lastReadBytes_ = port_.ReadAvailable(buffer, maxBytes); },
      [this](std::string_view line) {
        return protocol_ ? protocol_->dispatchLine(*this, line.data(), static_cast<int32_t>(line.size())) : kS_OK;
      },
      [this](const ReceivedLine& line) {
        if (line.consumed == 0) return;
        trace::LineReceived(portName, line.bytes, line.length,
                            line.ending == ReceivedLine::Ending::LfCr ? "\n\r" : "\n");
      });
}

}  // namespace OpenKymo
