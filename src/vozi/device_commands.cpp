#include "vozi/device_commands.h"

#include <cstdio>
#include <string>

#include "platform/deadline.h"
#include "serial/command_frame.h"
#include "text/narrow_copy.h"
#include "text/string_stream.h"
#include "trace/trace.h"
#include "vozi/control_lists.h"
#include "vozi/device_description.h"
#include "vozi/handshake.h"
#include "vozi_enabler.h"

namespace {

using OpenKymo::VoziSerial;

// Sample periods are selected by position; the P command carries at most two
// digits.
constexpr int32_t kMaxPeriodPosition = 99;

void Reply(CommandRecord* record, std::u16string_view text) {
  NarrowCopyToHost(text, record->reply, record->replySize);
}

// Numbers in text replies are written by a wide stream with its defaults,
// in the number format of the process-wide locale in force when it is made.
void Reply(CommandRecord* record, NRV::OStringStream& text) { Reply(record, text.Result().View()); }

template <typename List>
bool HasEntry(const List& list, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < list.size();
}

std::shared_ptr<DeviceDescription> WaitForDescription(VoziSerial& device) {
  const platform::Deadline deadline(kDescriptionLookMs * kDescriptionLooks);
  for (;;) {
    auto description = device.Description();
    if (description && description->IsComplete()) return description;
    platform::SleepMs(kDescriptionLookMs);
    if (deadline.Expired()) return nullptr;
  }
}

void SelectPeriod(VoziSerial& device, const DeviceDescription& description, int32_t period) {
  int32_t position = -1;
  for (size_t k = 0; k < description.periods.size(); ++k) {
    if (description.periods[k] == period) {
      position = static_cast<int32_t>(k);
      break;
    }
  }
  if (position < 0) return;
  if (description.hasEndOfCycle) ++position;
  if (position > kMaxPeriodPosition) return;
  StopStreaming(device);
  char command[4];
  std::snprintf(command, sizeof command, "P%d", position);
  SendCommand(device.Transmitter(), command);
}

bool StartStream(VoziSerial& device) {
  device.FlushReadBuffer();
  HandshakeStateCell& state = device.handshakeState;
  if (state.Handshaking() &&
      !state.WaitUntil([](HandshakeState now) { return !HandshakeStateCell::Handshaking(now); }, kStreamWaitLimitMs,
                       kStreamWaitStepMs)) {
    return false;
  }
  if (!state.Is(HandshakeState::Idle)) StopStreaming(device);
  trace::StateChange(device.portName, nullptr, StateName(HandshakeState::Starting));
  state.SetState(HandshakeState::Starting);
  device.WakeReader();
  // An unconfirmed start still counts: the reader goes on asking.
  state.WaitForState(HandshakeState::Streaming, kStreamWaitLimitMs, kStreamWaitStepMs);
  return true;
}

void ReplySamplePeriods(CommandRecord* record, const DeviceDescription& description) {
  NRV::OStringStream text;
  const size_t n = description.periods.size();
  for (size_t k = n; k >= 1; --k) {
    if (k < n) text << L',';
    text << description.periods[k - 1];
  }
  Reply(record, text);
}

}  // namespace

bool handleCommand(VoziSerial& device, int32_t code, CommandRecord* record) {
  const auto description = WaitForDescription(device);
  if (!description) {
    device.notResponding.store(true);
    return false;
  }
  const DeviceDescription& d = *description;
  const int32_t argument = record->argument;
  switch (static_cast<CommandCode>(code)) {
    case CommandCode::GetModelName:
      Reply(record, device.modelName);
      return true;
    case CommandCode::GetVersionText:
      Reply(record, device.firmwareVersion);
      return true;
    case CommandCode::GetPortDescription:
      Reply(record, device.portDescription);
      return true;
    case CommandCode::GetLastChannel:
      record->count = static_cast<int32_t>(d.names.size()) - 1;
      return true;
    case CommandCode::GetChannelMinimum:
      if (HasEntry(d.minima, argument)) record->value = d.minima[static_cast<size_t>(argument)];
      return true;
    case CommandCode::GetChannelMaximum:
      if (HasEntry(d.maxima, argument)) record->value = d.maxima[static_cast<size_t>(argument)];
      return true;
    case CommandCode::GetChannelUnits:
      if (HasEntry(d.units, argument)) Reply(record, d.units[static_cast<size_t>(argument)]);
      return true;
    case CommandCode::GetChannelName:
      if (HasEntry(d.names, argument)) Reply(record, d.names[static_cast<size_t>(argument)]);
      return true;
    case CommandCode::GetChannelRange:
      // The range lists may be shorter than the units list: answer nothing
      // for an index they do not reach.
      if (HasEntry(d.units, argument) && HasEntry(d.minima, argument) && HasEntry(d.maxima, argument)) {
        const auto i = static_cast<size_t>(argument);
        NRV::OStringStream text;
        text << d.minima[i] << L',' << d.maxima[i] << L',';
        NRV::WriteUtf16(text, d.units[i]);
        text << L';';
        Reply(record, text);
      }
      return true;
    case CommandCode::GetInputAmpControls:
      if (HasEntry(d.names, argument)) Reply(record, fetchInputAmpControls() + u"\n");
      return true;
    case CommandCode::GetSamplePeriods:
      ReplySamplePeriods(record, d);
      return true;
    case CommandCode::SelectPeriod:
      SelectPeriod(device, d, argument);
      return true;
    case CommandCode::StartStream:
      return StartStream(device);
    case CommandCode::StopStream:
      StopStreaming(device);
      return true;
    case CommandCode::DisableChannel:
      description->DisableChannel(argument);
      return true;
    case CommandCode::EnableChannel:
      description->EnableChannel(argument);
      return true;
    case CommandCode::ClearCount:
      record->count = 0;
      return true;
  }
  Reply(record, kUnsupportedCommandReply);
  return false;
}
