#pragma once
// Starting an instrument: open its port at 115200, start the reader thread,
// wait for the version line, then check the firmware number.
#include "platform/hresult.h"
#include "serial/vozi_serial.h"

// kS_OK when the device runs and its firmware is accepted; kE_FAIL otherwise,
// with the device's flags telling why.
HResult StartDevice(OpenKymo::VoziSerial& device, const char16_t* portName);

// How long start-up waits for the version line: 1000 ms steps, at most 16.
inline constexpr uint32_t kHandshakeStepMs = 1000;
inline constexpr uint32_t kHandshakeLimitMs = 15000;
