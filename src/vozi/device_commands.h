#pragma once
// The host's device commands: identity, channel description, channel
// enabling, sample period, start and stop of streaming.
#include <cstdint>

#include "serial/vozi_serial.h"
#include "vozi_enabler.h"

// The host's command codes, named for the core; the numbers are the public
// header's.
enum class CommandCode : int32_t {
  GetModelName = VOZI_GET_MODEL_NAME,
  GetVersionText = VOZI_GET_VERSION_TEXT,
  GetPortDescription = VOZI_GET_PORT_DESCRIPTION,
  GetLastChannel = VOZI_GET_LAST_CHANNEL,
  GetChannelMinimum = VOZI_GET_CHANNEL_MINIMUM,
  GetChannelMaximum = VOZI_GET_CHANNEL_MAXIMUM,
  GetChannelUnits = VOZI_GET_CHANNEL_UNITS,
  GetChannelName = VOZI_GET_CHANNEL_NAME,
  GetChannelRange = VOZI_GET_CHANNEL_RANGE,
  GetInputAmpControls = VOZI_GET_INPUT_AMP_CONTROLS,
  GetSamplePeriods = VOZI_GET_SAMPLE_PERIODS,
  SelectPeriod = VOZI_SELECT_PERIOD,
  StartStream = VOZI_START_STREAM,
  StopStream = VOZI_STOP_STREAM,
  DisableChannel = VOZI_DISABLE_CHANNEL,
  EnableChannel = VOZI_ENABLE_CHANNEL,
  ClearCount = VOZI_CLEAR_COUNT,
};

// Waits (1000 ms steps, at most 15 looks) for the channel description, then
// runs the command. False for an unsupported code, a description that never
// came (notResponding is then set) and a stream start the handshake blocks.
bool handleCommand(OpenKymo::VoziSerial& device, int32_t code, CommandRecord* record);

inline constexpr uint32_t kDescriptionLookMs = 1000;
inline constexpr int kDescriptionLooks = 15;
inline constexpr char16_t kUnsupportedCommandReply[] = u"^Unsupported SDA command";
