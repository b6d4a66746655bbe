#include "vozi/device_commands.h"

#include <cstdio>
#include <sstream>
#include <string>

#include "platform/sync.h"
#include "serial/command_frame.h"
#include "text/narrow_copy.h"
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
class NumberText {
 public:
  NumberText& Number(float value) {
    stream_ << value;
    return *this;
  }
  NumberText& Number(int32_t value) {
    stream_ << value;
    return *this;
  }
  NumberText& Text(std::u16string_view text) {
    for (char16_t c : text) stream_ << static_cast<wchar_t>(c);
    return *this;
  }
  std::u16string Result() const {
    std::u16string out;
    for (wchar_t c : stream_.str()) {
      const auto code = static_cast<char32_t>(c);
      if (code >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
      } else {
        out += static_cast<char16_t>(code);
      }
    }
    return out;
  }

 private:
  std::wostringstream stream_;
};

template <typename List>
bool HasEntry(const List& list, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < list.size();
}

std::shared_ptr<DeviceDescription> WaitForDescription(VoziSerial& device) {
  for (int look = 1;; ++look) {
    auto description = device.Description();
    if (description && description->IsComplete()) return description;
    platform::SleepMs(kDescriptionLookMs);
    if (look == kDescriptionLooks) return nullptr;
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
  uint32_t slept = 0;
  while (isHandshaking(device)) {
    platform::SleepMs(kStreamWaitStepMs);
    slept += kStreamWaitStepMs;
    if (slept > kStreamWaitLimitMs) return false;
  }
  if (CurrentState(device) != HandshakeState::Idle) StopStreaming(device);
  trace::StateChange(device.portName, nullptr, StateName(HandshakeState::Starting));
  device.handshakeState.store(static_cast<int32_t>(HandshakeState::Starting));
  device.WakeReader();
  slept = 0;
  while (CurrentState(device) != HandshakeState::Streaming && slept <= kStreamWaitLimitMs) {
    platform::SleepMs(kStreamWaitStepMs);
    slept += kStreamWaitStepMs;
  }
  return true;
}

std::u16string SamplePeriodsText(const DeviceDescription& description) {
  NumberText text;
  const size_t n = description.periods.size();
  for (size_t k = n; k >= 1; --k) {
    if (k < n) text.Text(u",");
    text.Number(description.periods[k - 1]);
  }
  return text.Result();
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
        NumberText text;
        text.Number(d.minima[i]).Text(u",").Number(d.maxima[i]).Text(u",").Text(d.units[i]).Text(u";");
        Reply(record, text.Result());
      }
      return true;
    case CommandCode::GetInputAmpControls:
      if (HasEntry(d.names, argument)) Reply(record, fetchInputAmpControls() + u"\n");
      return true;
    case CommandCode::GetSamplePeriods:
      Reply(record, SamplePeriodsText(d));
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
