#pragma once
// Command frames to the instrument: ':' + command text + LF, at most 29 bytes.
#include <cstdint>
#include <vector>

#include "serial/frame_writer.h"

// Bytes of a frame buffer, terminator included: a frame is at most 29 bytes.
inline constexpr int kFrameBufferSize = 30;

// Frames the text (":%s\n") and writes it. A text too long for the frame
// buffer is not sent (false).
bool SendCommand(FrameWriter& writer, const char* text);

// Sends "U" followed by '1' or '0' per flag. A mask longer than the frame
// buffer holds (more than 26 channels) is sent as one longer frame, so the
// instrument still receives every flag.
void SendChannelMask(FrameWriter& writer, const std::vector<bool>& flags);
