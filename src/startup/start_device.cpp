#include "startup/start_device.h"

#include "platform/codepage.h"
#include "platform/sync.h"
#include "startup/firmware_requirement.h"
#include "trace/trace.h"
#include "vozi/handshake.h"
#include "vozi/instrument_protocol.h"

namespace {
// Conversation states start-up sets: not started, and greeting (S is resent
// until the instrument answers).
constexpr int32_t kStateNotStarted = 0;
constexpr int32_t kStateGreeting = 1;

// Sleeps one step of the handshake wait, looking at the reader every 20 ms:
// false as soon as it has failed (the port hung up, the conversation ended),
// since then nothing will answer however long the wait goes on.
bool SleepWhileReaderLives(const OpenKymo::VoziSerial& device, uint32_t ms) {
  constexpr uint32_t kLookMs = OpenKymo::VoziSerial::kReaderPollMs;
  for (uint32_t slept = 0; slept < ms; slept += kLookMs) {
    if (device.ReaderFailed()) return false;
    platform::SleepMs(ms - slept < kLookMs ? ms - slept : kLookMs);
  }
  return !device.ReaderFailed();
}

HResult NotResponding(OpenKymo::VoziSerial& device) {
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
  trace::StateChange(device.portName, nullptr, StateName(kStateNotStarted));
  device.handshakeState.store(kStateNotStarted);
  if (!device.OwnedProtocol()) device.AdoptProtocol(MakeInstrumentProtocol());
  // A reader thread that cannot start counts as a failed reader: the wait
  // below then ends at once.
  const bool readerStarted = device.StartReader(device.OwnedProtocol());
  trace::Step(device.portName, readerStarted ? "reader started" : "reader thread could not start");
  trace::StateChange(device.portName, nullptr, StateName(kStateGreeting));
  device.handshakeState.store(kStateGreeting);
  device.WakeReader();

  uint32_t slept = 0;
  for (;;) {
    if (slept > kHandshakeLimitMs) return NotResponding(device);
    if (!SleepWhileReaderLives(device, kHandshakeStepMs)) return NotResponding(device);
    slept += kHandshakeStepMs;
    // Acquire: the version texts were written before the state passed 2.
    if (device.handshakeState.load(std::memory_order_acquire) > 2) break;
  }
  trace::Step(device.portName, "answered after %u ms: version line read", slept);

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
