#pragma once
// A serial port opened for non-blocking use and configured 8N1 at a rate.
#include <cstdint>

#include "platform/hresult.h"
#include "platform/serial_port.h"
#include "serial/frame_writer.h"

namespace OpenKymo {

class COMPort : public FrameWriter {
 public:
  COMPort() = default;
  ~COMPort() override;

  virtual bool IsOpen() const;
  virtual void Close();
  virtual HResult Open(const char16_t* name, int32_t rate);
  virtual bool Configure(int32_t rate, int32_t rtsMode);
  virtual bool SetBaudRate(int32_t rate);
  virtual int32_t GetBaudRate() const;
  virtual bool CanUseBaudRate(int32_t rate);

  // Opens the port without configuring it (start-up configures it itself).
  bool OpenPort(const char16_t* name);

  // Writes one frame with a 20 ms completion bound.
  bool WriteFrame(const uint8_t* bytes, int32_t length) override;

  // How long a frame may take to reach the driver.
  static constexpr uint32_t kWriteWaitMs = 20;

 protected:
  void ClosePort();

  platform::SerialPort port_;  // the port handle; closed while not open
  // Rate given to the last Configure whose line settings took; 0 before any.
  int32_t baudRate_ = 0;
};

}  // namespace OpenKymo
