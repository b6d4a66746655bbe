// Regional settings on Windows: GetLocaleInfoW / GetLocaleInfoA for the
// user's default locale.
#include "platform/locale_source.h"

#include <windows.h>

namespace platform {

int UserLocaleInfo(uint32_t type, char16_t* buffer, int size) {
  return ::GetLocaleInfoW(LOCALE_USER_DEFAULT, type, reinterpret_cast<wchar_t*>(buffer), size);
}

int UserLocaleInfoNarrow(uint32_t type, char* buffer, int size) {
  return ::GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, size);
}

}  // namespace platform
