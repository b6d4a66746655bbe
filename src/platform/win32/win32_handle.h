#pragma once
// Shared by the Win32 platform files: <windows.h> with its macros tamed, and
// the conversions between the seam's portable types and Win32's.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <string>

namespace platform::win32 {

// Portable code holds handles as intptr_t (Event::Native) or void*.
inline HANDLE ToHandle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }
inline intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }

// UTF-16 text: wchar_t is 16 bits on Windows, so the two spellings share bytes.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");
inline const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace platform::win32
