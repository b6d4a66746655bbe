#include "serial/com_port.h"

namespace OpenKymo {

COMPort::~COMPort() { ClosePort(); }

bool COMPort::IsOpen() const { return port_.IsOpen(); }

void COMPort::Close() { ClosePort(); }

bool COMPort::OpenPort(const char16_t* name) { return name != nullptr && port_.Open(name); }

void COMPort::ClosePort() {
  if (port_.IsOpen()) port_.Close();
}

HResult COMPort::Open(const char16_t* name, int32_t rate) {
  if (!OpenPort(name)) return kE_FAIL;
  if (Configure(rate, platform::kRtsControlEnable)) return kS_OK;
  Close();  // the device's own Close: it also tells the instrument to stop
  return kE_FAIL;
}

bool COMPort::Configure(int32_t rate, int32_t rtsMode) {
  if (!port_.Configure(rate, rtsMode)) return false;
  // Recorded as given, also when 0 or negative (the line rate was kept then).
  baudRate_ = rate;
  return true;
}

bool COMPort::SetBaudRate(int32_t rate) { return Configure(rate, platform::kRtsControlEnable); }

int32_t COMPort::GetBaudRate() const { return baudRate_; }

bool COMPort::CanUseBaudRate(int32_t rate) {
  const int32_t previous = GetBaudRate();
  return Configure(rate, platform::kRtsControlEnable) && Configure(previous, platform::kRtsControlEnable);
}

bool COMPort::WriteFrame(const uint8_t* bytes, int32_t length) {
  return port_.Write(bytes, length, kWriteWaitMs);
}

}  // namespace OpenKymo
