#include "text/text_conversion.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace NRV {
namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The largest length not above `length` that does not split a surrogate pair.
size_t CharacterBoundary(std::u16string_view text, size_t length) {
  if (length > 0 && length < text.size() && IsHighSurrogate(text[length - 1]) &&
      IsLowSurrogate(text[length])) {
    return length - 1;
  }
  return length;
}

// Conversion of the longest prefix of `text`, ending on a character boundary,
// that has at most `limit` bytes; the whole text is known not to fit. A longer
// prefix never converts to fewer bytes, so a binary search over the prefix
// length finds it with a logarithmic number of conversions.
std::string LongestFittingPrefix(std::u16string_view text, size_t limit, uint32_t codePage) {
  std::string best;
  size_t fits = 0;                 // a length whose prefix is known to fit
  size_t overflows = text.size();  // a length whose prefix is known not to
  while (overflows - fits > 1) {
    const size_t middle = fits + (overflows - fits) / 2;
    const auto converted =
        platform::WideToNarrow(text.substr(0, CharacterBoundary(text, middle)), codePage);
    if (converted && converted->size() <= limit) {
      fits = middle;
      best = *converted;
    } else {
      overflows = middle;
    }
  }
  return best;
}

}  // namespace

NarrowCopy WideToNarrowBuffer(std::u16string_view text, char* buffer, size_t bufferSize,
                              uint32_t codePage) {
  if (text.empty() || buffer == nullptr || bufferSize == 0) return NarrowCopy::Failed;
  const auto converted = platform::WideToNarrow(text, codePage);
  if (!converted || converted->empty()) return NarrowCopy::Failed;
  if (converted->size() < bufferSize) {
    std::memcpy(buffer, converted->data(), converted->size());
    buffer[converted->size()] = '\0';
    return NarrowCopy::Complete;
  }
  const std::string prefix = LongestFittingPrefix(text, bufferSize - 1, codePage);
  std::memcpy(buffer, prefix.data(), prefix.size());
  buffer[prefix.size()] = '\0';
  return NarrowCopy::Truncated;
}

bool NarrowToWideCounted(const char* text, size_t byteCount, std::u16string& out,
                         uint32_t codePage) {
  if (text == nullptr) return false;
  const size_t size = byteCount != 0 ? byteCount : std::strlen(text);
  if (size == 0) return false;
  auto converted = platform::NarrowToWide(std::string_view(text, size), codePage);
  if (!converted || converted->empty()) return false;
  out = std::move(*converted);
  return true;
}

}  // namespace NRV
