#include "vozi/handshake.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "serial/command_frame.h"
#include "serial/vozi_serial.h"
#include "trace/trace.h"
#include "vozi/device_description.h"
#include "vozi/fields.h"

using OpenKymo::VoziSerial;

namespace {

bool BeginsWith(std::string_view line, char letter) { return !line.empty() && line.front() == letter; }

std::u16string ToWide(std::string_view text) {
  std::optional<std::u16string> wide = platform::NarrowToWide(text, platform::kCP_ACP);
  return wide ? std::move(*wide) : std::u16string();
}

void Advance(VoziSerial& device, HandshakeState from, HandshakeState to) {
  if (device.handshakeState.Advance(from, to)) trace::StateChange(device.portName, StateName(from), StateName(to));
}

}  // namespace

HandshakeState CurrentState(const VoziSerial& device) { return device.handshakeState.Load(); }

bool isHandshaking(const VoziSerial& device) { return device.handshakeState.Handshaking(); }

void Handshake::pollTransmit(VoziSerial& device) {
  switch (CurrentState(device)) {
    case HandshakeState::Greeting:
    case HandshakeState::Stopping:
      SendCommand(device.Transmitter(), "S");
      break;
    case HandshakeState::Starting:
      SendCommand(device.Transmitter(), "B");
      break;
    default:
      break;
  }
}

bool Handshake::awaitingAnswer(const VoziSerial& device) const {
  return HandshakeStateCell::AwaitingAnswer(CurrentState(device));
}

HResult Handshake::dispatchLine(VoziSerial& device, const char* line, int32_t length) {
  return Dispatch(device, CurrentState(device), std::string_view(line, length > 0 ? static_cast<size_t>(length) : 0));
}

HResult Handshake::Dispatch(VoziSerial& device, HandshakeState state, std::string_view line) {
  using S = HandshakeState;
  switch (state) {
    case S::Greeting:
      if (!BeginsWith(line, 'S')) break;
      SendCommand(device.Transmitter(), "V");
      Advance(device, state, S::AwaitVersion);
      break;
    case S::AwaitVersion:
      if (!BeginsWith(line, 'V')) break;
      ReadVersionLine(device, line);
      // The format line counts only after this conversation's own "F"
      // header: a header seen earlier (a restart on the same device) would
      // let a stray line pass for the format line.
      device.headerSeen = false;
      // The release in Advance publishes the version texts: start-up reads
      // them once it sees a state above AwaitVersion.
      Advance(device, state, S::AwaitFormat);
      SendCommand(device.Transmitter(), "F");
      break;
    case S::AwaitFormat:
      if (BeginsWith(line, 'F')) {
        device.headerSeen = true;
      } else if (device.headerSeen) {
        int32_t commas = 0;
        for (char c : line) commas += c == ',';
        device.channelCount.store(commas + 1, std::memory_order_relaxed);
        Advance(device, state, S::AwaitPeriods);
      }
      break;
    case S::AwaitPeriods:
      StartDescription(device, line);
      Advance(device, state, S::AwaitEnableAck);
      break;
    case S::AwaitEnableAck:
      if (!BeginsWith(line, 'U')) break;
      // Likewise the names line counts only after the "I" header, not after
      // the "F" header of the format step.
      device.headerSeen = false;
      SendCommand(device.Transmitter(), "I");
      Advance(device, state, S::AwaitNames);
      break;
    case S::AwaitNames:
      if (BeginsWith(line, 'I')) {
        device.headerSeen = true;
      } else if (device.headerSeen) {
        return ReadNamesLine(device, line);
      }
      break;
    case S::AwaitUnits:
    case S::AwaitMaxima:
    case S::AwaitMinima: {
      DeviceDescription* description = device.ReaderDescription();
      if (description == nullptr) break;  // no record to fill: wait for a new handshake
      if (state == S::AwaitUnits) {
        description->parseUnitsLine(line);
        Advance(device, state, S::AwaitMaxima);
      } else if (state == S::AwaitMaxima) {
        description->parseMaximaLine(line);
        Advance(device, state, S::AwaitMinima);
      } else {
        description->parseMinimaLine(line);
        Advance(device, state, S::Idle);
      }
      break;
    }
    case S::Starting:
      // The "B" answer itself carries no samples.
      if (BeginsWith(line, 'B')) Advance(device, state, S::Streaming);
      break;
    case S::Stopping:
      if (BeginsWith(line, 'S')) Advance(device, state, S::Idle);
      break;
    case S::Streaming:
      return decoder_.decodeDataLine(device, line);
    default:
      break;  // NotStarted, Idle and unknown states ignore every line
  }
  return kS_OK;
}

void Handshake::ReadVersionLine(VoziSerial& device, std::string_view line) {
  // V,<major>,<minor>,<release>,<firmware number>[,<model>]
  const std::vector<std::string_view> fields = splitFields(line);
  if (fields.size() < 5) {
    // No version to form; the strings stay empty (and start-up then finds no
    // firmware number it could accept).
    device.firmwareVersion.clear();
    device.firmwareNumber.clear();
    device.modelName.clear();
    return;
  }
  std::string version;
  version.append(fields[1]).append(".").append(fields[2]).append(".").append(fields[3]).append(".").append(fields[4]);
  device.firmwareVersion = ToWide(version);
  device.modelName = fields.size() >= 6 ? ToWide(fields[5]) : std::u16string(kDefaultModelName);
  device.firmwareNumber = ToWide(fields[4]);
}

void Handshake::StartDescription(VoziSerial& device, std::string_view periodLine) {
  // Every handshake starts from a fresh record: the lists are filled once
  // each and the enabled set starts empty. A host thread still holding the
  // previous record keeps it alive until it lets go.
  auto description = std::make_shared<DeviceDescription>();
  description->parsePeriodLine(periodLine);
  device.InstallDescription(std::move(description));
  const int32_t channels = device.channelCount.load(std::memory_order_relaxed);
  SendChannelMask(device.Transmitter(), std::vector<bool>(channels > 0 ? static_cast<size_t>(channels) : 0, true));
}

HResult Handshake::ReadNamesLine(VoziSerial& device, std::string_view line) {
  DeviceDescription* description = device.ReaderDescription();
  if (description == nullptr) return kS_OK;
  description->parseNamesLine(line);
  // The names must match the format line, one per field, where a trailing
  // check field ("CRC") has no name of its own.
  const int64_t names = static_cast<int64_t>(description->names.size());
  const int32_t channels = device.channelCount.load(std::memory_order_relaxed);
  if (names == channels || (description->hasCrc && names == int64_t{channels} - 1)) {
    Advance(device, HandshakeState::AwaitNames, HandshakeState::AwaitUnits);
    return kS_OK;
  }
  device.notResponding.store(true);
  return kE_ABORT;
}

void StopStreaming(VoziSerial& device) {
  trace::StateChange(device.portName, nullptr, StateName(HandshakeState::Stopping));
  device.handshakeState.SetState(HandshakeState::Stopping);
  device.WakeReader();
  device.handshakeState.WaitForState(HandshakeState::Idle, kStreamWaitLimitMs, kStreamWaitStepMs);
}
