#pragma once
// Conversions between standard wide strings and narrow bytes at the host
// boundary, with an explicit code page (normally the host code page).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace NRV {

enum class NarrowCopy {
  Failed,     // nothing written: empty text, failed conversion or no room at all
  Complete,   // the whole text and its terminator were written
  Truncated,  // the text did not fit: as many whole characters as fit, terminated
};

// Converts `text` and writes it with a terminating zero into `buffer`, never
// more than `bufferSize` bytes. An empty text converts to no bytes and leaves
// the buffer untouched. A text that does not fit is cut after the last whole
// character that fits, so the host never receives half a multi-byte character
// or an unterminated text.
NarrowCopy WideToNarrowBuffer(std::u16string_view text, char* buffer, size_t bufferSize,
                              uint32_t codePage);

// Converts the first `byteCount` bytes of `text` (0: up to its terminating
// zero) into `out`. False, with `out` untouched, for a null or empty input or
// a failed conversion.
bool NarrowToWideCounted(const char* text, size_t byteCount, std::u16string& out,
                         uint32_t codePage);

}  // namespace NRV
