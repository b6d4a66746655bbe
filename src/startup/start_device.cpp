#include "startup/start_device.h"

#include "platform/codepage.h"
#include "startup/firmware_requirement.h"
#include "vozi/instrument_protocol.h"

namespace {
HResult NotResponding(OpenKymo::VoziSerial& device) {
  device.notResponding.store(true);
  device.failed.store(true);
  return kE_FAIL;
}
}  // namespace

HResult StartDevice(OpenKymo::VoziSerial& device, const char16_t* portName) {
  if (!device.OpenPort(portName)) {
    device.failed.store(true);
    return kE_FAIL;
  }
  if (!device.Configure(115200, platform::kRtsControlEnable)) {
    device.Close();
    device.failed.store(true);
    return kE_FAIL;
  }

  // The previous reader thread (of a restart) ends before its ring goes.
  device.EndReader();
  device.NewReceiveRing();
  // A restart must not resume the old conversation's state in the new thread.
  device.handshakeState.SetState(HandshakeState::NotStarted);
  if (!device.OwnedProtocol()) device.AdoptProtocol(MakeInstrumentProtocol());
  // A reader thread that cannot start counts as a failed reader: the wait
  // below then ends at once.
  device.StartReader(device.OwnedProtocol());
  device.handshakeState.SetState(HandshakeState::Greeting);
  device.WakeReader();

  // The version is looked for once a step; the reader every 20 ms in
  // between: once it has failed (the port hung up, the conversation ended)
  // nothing will answer however long the wait goes on. Seeing the version
  // received also makes its texts visible here.
  const bool answered = device.handshakeState.WaitUntil(
      [](HandshakeState now) { return HandshakeStateCell::VersionReceived(now); }, kHandshakeLimitMs,
      kHandshakeStepMs, [&device] { return !device.ReaderFailed(); }, OpenKymo::VoziSerial::kReaderPollMs);
  if (!answered) return NotResponding(device);

  const int32_t required = RequiredFirmwareNumber();
  const auto narrow = platform::WideToNarrow(device.firmwareNumber, platform::kCP_THREAD_ACP);
  const int32_t reported = FirmwareNumberFromText(narrow.value_or(std::string()));
  if (required != 0 && required == reported) return kS_OK;
  device.firmwareWrong.store(true);
  device.failed.store(true);
  return kE_FAIL;
}
