#include "serial/command_frame.h"

#include <cstdio>
#include <string>

bool SendCommand(FrameWriter& writer, const char* text) {
  char frame[kFrameBufferSize];
  const int length = std::snprintf(frame, sizeof frame, ":%s\n", text);
  // A frame cut short by the buffer would lose its LF and run into the next
  // command on the instrument's side; such a text is not sent at all.
  if (length < 0 || length >= kFrameBufferSize) return false;
  return writer.WriteFrame(reinterpret_cast<const uint8_t*>(frame), length);
}

void SendChannelMask(FrameWriter& writer, const std::vector<bool>& flags) {
  // ':' 'U' flags '\n'. Up to 26 flags this is the frame SendCommand would
  // build; beyond that the frame simply grows, since an instrument with more
  // channels must still be told about every one of them.
  std::string frame;
  frame.reserve(flags.size() + 3);
  frame += ":U";
  for (bool flag : flags) frame += flag ? '1' : '0';
  frame += '\n';
  writer.WriteFrame(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int32_t>(frame.size()));
}
