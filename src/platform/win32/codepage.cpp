// Code-page conversions on Windows: the system's own, flags 0, no default
// character, exactly as the host's other components convert.
#include "platform/codepage.h"

#include <windows.h>

#include <climits>
#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace platform {

std::optional<std::string> WideToNarrow(std::u16string_view text, uint32_t codePage) {
  if (text.empty()) return std::string();
  if (text.size() > INT_MAX) return std::nullopt;
  const auto* source = reinterpret_cast<const wchar_t*>(text.data());
  const int sourceLength = static_cast<int>(text.size());
  const int needed =
      ::WideCharToMultiByte(codePage, 0, source, sourceLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::nullopt;
  std::string result(static_cast<size_t>(needed), '\0');
  const int written = ::WideCharToMultiByte(codePage, 0, source, sourceLength, result.data(),
                                            needed, nullptr, nullptr);
  if (written <= 0) return std::nullopt;
  result.resize(static_cast<size_t>(written));
  return result;
}

std::optional<std::u16string> NarrowToWide(std::string_view text, uint32_t codePage) {
  if (text.empty()) return std::u16string();
  if (text.size() > INT_MAX) return std::nullopt;
  const int sourceLength = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), sourceLength, nullptr, 0);
  if (needed <= 0) return std::nullopt;
  std::u16string result(static_cast<size_t>(needed), u'\0');
  const int written = ::MultiByteToWideChar(codePage, 0, text.data(), sourceLength,
                                            reinterpret_cast<wchar_t*>(result.data()), needed);
  if (written <= 0) return std::nullopt;
  result.resize(static_cast<size_t>(written));
  return result;
}

void WideLowerInPlace(char16_t* text, size_t capacity) {
  // _wcslwr_s empties a text that has no terminator within the capacity;
  // leave such a buffer alone instead.
  if (text == nullptr || wcsnlen(reinterpret_cast<const wchar_t*>(text), capacity) == capacity) {
    return;
  }
  _wcslwr_s(reinterpret_cast<wchar_t*>(text), capacity);
}

}  // namespace platform
