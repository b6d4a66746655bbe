// Code-page conversions on Linux. The "ANSI" code page of a Windows process is
// Windows-1252 on the systems the host is used on, so that is what CP_ACP and
// CP_THREAD_ACP mean here; a table of our own keeps it byte-exact with
// Windows, including the five bytes 1252 leaves undefined.
#include "platform/codepage.h"

#include "platform/posix/iconv_codec.h"
#include "platform/posix/utf8_codec.h"

#include <algorithm>
#include <array>

namespace platform {
namespace {

// 0x80-0x9F of Windows-1252. The undefined 0x81, 0x8D, 0x8F, 0x90 and 0x9D map
// to the C1 controls of the same value, as Windows maps them.
constexpr std::array<char16_t, 32> kHigh1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t Decode1252(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kHigh1252[byte - 0x80];
  return byte;
}

char Encode1252(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  const auto* found = std::find(kHigh1252.begin(), kHigh1252.end(), unit);
  if (found == kHigh1252.end()) return '?';
  return static_cast<char>(0x80 + (found - kHigh1252.begin()));
}

bool IsAnsi(uint32_t codePage) {
  return codePage == kCP_ACP || codePage == kCP_THREAD_ACP || codePage == kCP_Windows1252;
}

}  // namespace

std::optional<std::string> WideToNarrow(std::u16string_view text, uint32_t codePage) {
  if (text.empty()) return std::string();
  if (IsAnsi(codePage)) {
    std::string result(text.size(), '\0');
    std::transform(text.begin(), text.end(), result.begin(), Encode1252);
    return result;
  }
  if (codePage == kCP_UTF8) return utf8::Encode(text);
  return iconv_codec::Encode(text, codePage);
}

std::optional<std::u16string> NarrowToWide(std::string_view text, uint32_t codePage) {
  if (text.empty()) return std::u16string();
  if (IsAnsi(codePage)) {
    std::u16string result(text.size(), u'\0');
    std::transform(text.begin(), text.end(), result.begin(),
                   [](char c) { return Decode1252(static_cast<unsigned char>(c)); });
    return result;
  }
  if (codePage == kCP_UTF8) return utf8::Decode(text);
  return iconv_codec::Decode(text, codePage);
}

void WideLowerInPlace(char16_t* text, size_t capacity) {
  if (text == nullptr) return;
  char16_t* end = std::find(text, text + capacity, u'\0');
  if (end == text + capacity) return;  // no terminator: leave it alone
  std::transform(text, end, text, [](char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
  });
}

}  // namespace platform
