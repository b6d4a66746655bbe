#include "startup/start_device.h"

#include "platform/codepage.h"
#include "platform/deadline.h"
#include "startup/firmware_requirement.h"
#include "trace/trace.h"
#include "vozi/handshake.h"
#include "vozi/instrument_protocol.h"

namespace {
HResult NotResponding(OpenKymo::VoziSerial& device) {
  if (device.closing.load()) {
    // Not the instrument's fault: no message may blame it.
    trace::Step(device.portName, "start-up abandoned: the device is being closed");
    device.failed.store(true);
    return kE_ABORT;
  }
  trace::Step(device.portName, "no version line: %s", device.ReaderFailed() ? "the reader failed" : "the wait ran out");
  device.notResponding.store(true);
  device.failed.store(true);
  return kE_FAIL;
}
}  // namespace

HResult StartDevice(OpenKymo::VoziSerial& device, const char16_t* portName) {
  if (!device.OpenPort(portName)) {
    trace::Step(device.portName, "port could not be opened");
    device.failed.store(true);
    return kE_FAIL;
  }
  trace::Step(device.portName, "port opened");
  if (!device.Configure(115200, platform::kRtsControlEnable)) {
    trace::Step(device.portName, "port refused 115200 baud, 8N1, RTS on");
    device.Close();
    device.failed.store(true);
    return kE_FAIL;
  }

  // The previous reader thread (of a restart) ends before its ring goes.
  device.EndReader();
  device.NewReceiveRing();
  // A restart must not resume the old conversation's state in the new thread.
  trace::StateChange(device.portName, nullptr, StateName(HandshakeState::NotStarted));
  device.handshakeState.SetState(HandshakeState::NotStarted);
  if (!device.OwnedProtocol()) device.AdoptProtocol(MakeInstrumentProtocol());
  // A reader thread that cannot start counts as a failed reader: the wait
  // below then ends at once.
  const bool readerStarted = device.StartReader(device.OwnedProtocol());
  trace::Step(device.portName, readerStarted ? "reader started" : "reader thread could not start");
  trace::StateChange(device.portName, nullptr, StateName(HandshakeState::Greeting));
  device.handshakeState.SetState(HandshakeState::Greeting);
  device.WakeReader();

  // The version is looked for once a step; the reader every 20 ms in
  // between: once it has failed (the port hung up, the conversation ended)
  // nothing will answer however long the wait goes on, and once CloseAll is
  // closing the device nobody wants the answer. Seeing the version received
  // also makes its texts visible here.
  const platform::Deadline waited(platform::kInfinite);
  const bool answered = device.handshakeState.WaitUntil(
      [](HandshakeState now) { return HandshakeStateCell::VersionReceived(now); }, kHandshakeLimitMs,
      kHandshakeStepMs, [&device] { return !device.ReaderFailed() && !device.closing.load(); },
      OpenKymo::VoziSerial::kReaderPollMs);
  if (!answered) return NotResponding(device);
  trace::Step(device.portName, "answered after %llu ms: version line read",
              static_cast<unsigned long long>(waited.ElapsedMs()));

  const int32_t required = RequiredFirmwareNumber();
  const auto narrow = platform::WideToNarrow(device.firmwareNumber, platform::kCP_THREAD_ACP);
  const int32_t reported = FirmwareNumberFromText(narrow.value_or(std::string()));
  const bool accepted = required != 0 && required == reported;
  trace::Step(device.portName, "firmware %d reported, %d required: %s", reported, required, accepted ? "accepted" : "refused");
  if (accepted) return kS_OK;
  device.firmwareWrong.store(true);
  device.failed.store(true);
  return kE_FAIL;
}
