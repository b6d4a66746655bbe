#pragma once
// HRESULT values as the device operations report them. Portable code must not
// include <windows.h>, so the few values we use are named here.
#include <cstdint>

using HResult = int32_t;

inline constexpr HResult kS_OK = 0;
inline constexpr HResult kE_FAIL = static_cast<HResult>(0x80004005u);
inline constexpr HResult kE_ABORT = static_cast<HResult>(0x80004004u);
inline constexpr HResult kE_NOINTERFACE = static_cast<HResult>(0x80004002u);
// Result of a reader wait step that saw the stop signal.
inline constexpr HResult kStopSeen = 1;

inline constexpr bool Failed(HResult hr) { return hr < 0; }
