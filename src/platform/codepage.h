#pragma once
// Conversions between UTF-16 and narrow text in a Windows code page, with the
// behaviour of MultiByteToWideChar / WideCharToMultiByte called with flags 0
// and no default character: characters the code page cannot hold become '?',
// malformed UTF-8 becomes U+FFFD. On Windows these are the system calls; on
// Linux the ANSI code pages mean Windows-1252, UTF-8 is our own codec and any
// other code page goes through iconv.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline constexpr uint32_t kCP_ACP = 0;
inline constexpr uint32_t kCP_THREAD_ACP = 3;
inline constexpr uint32_t kCP_UTF8 = 65001;
inline constexpr uint32_t kCP_Windows1252 = 1252;

// Empty input gives an empty result. nullopt when the code page is unknown or
// the system refuses the conversion.
std::optional<std::string> WideToNarrow(std::u16string_view text, uint32_t codePage);
std::optional<std::u16string> NarrowToWide(std::string_view text, uint32_t codePage);

// The runtime's wide lower-casing (_wcslwr_s) in the classic locale, which
// maps only A-Z: a zero-terminated text in a buffer of `capacity` units. A
// buffer without a zero inside its capacity is left unchanged.
void WideLowerInPlace(char16_t* text, size_t capacity);

// The same lower-casing of a whole text (which may hold no zero of its own).
inline std::u16string WideLowered(std::u16string text) {
  text.push_back(u'\0');
  WideLowerInPlace(text.data(), text.size());
  text.pop_back();
  return text;
}

}  // namespace platform
