#pragma once
// Where command frames go. The device's port in normal use; tests put a
// recorder in its place to capture frames without a serial line.
#include <cstdint>

class FrameWriter {
 public:
  virtual ~FrameWriter() = default;
  // Writes one already framed command; false when it did not complete in time.
  virtual bool WriteFrame(const uint8_t* bytes, int32_t length) = 0;
};
