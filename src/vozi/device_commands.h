#pragma once
// The host's device commands: identity, channel description, channel
// enabling, sample period, start and stop of streaming.
#include <cstdint>

#include "serial/vozi_serial.h"

struct CommandRecord;

enum class CommandCode : int32_t {
  GetModelName = 0,
  GetVersionText = 3,
  GetPortDescription = 4,
  GetLastChannel = 11,
  GetChannelMinimum = 17,
  GetChannelMaximum = 18,
  GetChannelUnits = 19,
  GetChannelName = 21,
  GetChannelRange = 22,
  GetInputAmpControls = 28,
  GetSamplePeriods = 32,
  SelectPeriod = 35,
  StartStream = 37,
  StopStream = 38,
  DisableChannel = 41,
  EnableChannel = 42,
  ClearCount = 59,
};

// Waits (1000 ms steps, at most 15 looks) for the channel description, then
// runs the command. False for an unsupported code, a description that never
// came (notResponding is then set) and a stream start the handshake blocks.
bool handleCommand(OpenKymo::VoziSerial& device, int32_t code, CommandRecord* record);

inline constexpr uint32_t kDescriptionLookMs = 1000;
inline constexpr int kDescriptionLooks = 15;
inline constexpr char16_t kUnsupportedCommandReply[] = u"^Unsupported SDA command";
