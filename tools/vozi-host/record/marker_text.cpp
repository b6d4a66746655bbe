// The checks of a marker's text, in every build (the command line refuses a
// bad marker before anything connects).
#include "record/marker.h"

namespace vozihost {
namespace {

// The length of the UTF-8 sequence at s[i] and its code point, or 0 when
// it is not one (overlong, surrogate, beyond U+10FFFF, cut short).
size_t Sequence(const std::string& s, size_t i, uint32_t* code) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  size_t n = 0;
  uint32_t c = 0, low = 0;
  if (b < 0x80) {
    *code = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    n = 2, c = b & 0x1F, low = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3, c = b & 0x0F, low = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4, c = b & 0x07, low = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if (c < low || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *code = c;
  return n;
}

}  // namespace

std::optional<std::string> CheckMarkerField(const std::string& what, const std::string& value, size_t maxBytes) {
  if (value.empty()) return what + " is empty";
  if (value.size() > maxBytes) {
    return what + " is " + std::to_string(value.size()) + " bytes long; at most " + std::to_string(maxBytes) +
           " are allowed";
  }
  for (size_t i = 0; i < value.size();) {
    uint32_t c = 0;
    const size_t n = Sequence(value, i, &c);
    if (n == 0) return what + " is not UTF-8 text";
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
      return what + " holds a control character (byte " + std::to_string(i) + "): one line of text is allowed";
    }
    i += n;
  }
  return std::nullopt;
}

std::string Utf8Prefix(const std::string& text, size_t maxBytes) {
  size_t end = 0;
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    const size_t n = Sequence(text, i, &c);
    if (n == 0 || i + n > maxBytes) break;
    i += n;
    end = i;
  }
  return text.substr(0, end);
}

}  // namespace vozihost
