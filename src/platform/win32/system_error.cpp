// System error texts on Windows: FormatMessageW from the system's tables.
#include "platform/system_error.h"

#include <windows.h>

#include <vector>

namespace platform {

uint32_t LastSystemError() { return ::GetLastError(); }

std::u16string SystemErrorText(uint32_t code, uint32_t maxChars) {
  std::vector<wchar_t> buffer(static_cast<size_t>(maxChars) + 1, L'\0');
  const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, LANG_USER_DEFAULT, buffer.data(), maxChars,
                                        nullptr);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length);
}

}  // namespace platform
