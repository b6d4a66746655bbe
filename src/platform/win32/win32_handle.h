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

// Full path of a module (null: the process's executable), however long: a
// MAX_PATH buffer would cut a longer path. Empty when it cannot be had.
inline std::wstring ModuleFileName(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};  // longer than any Windows path
    path.resize(path.size() * 2);
  }
}

}  // namespace platform::win32
