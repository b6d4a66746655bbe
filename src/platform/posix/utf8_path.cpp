#include "platform/posix/utf8_path.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char16_t kEscapeBase = 0xDC00;  // byte b travels as U+DC00 + b

bool IsEscapedByte(char16_t u) { return u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF; }

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The valid UTF-8 sequence that starts at i: its length and code point, or
// length 0. Overlong forms, surrogates and values above U+10FFFF are not
// valid; accepting an encoded surrogate would make it collide with an escape.
size_t DecodeOne(const std::string& path, size_t i, char32_t& code) {
  const auto lead = static_cast<uint8_t>(path[i]);
  int continuations = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + static_cast<size_t>(continuations) >= path.size()) return 0;
  code = lead & (0x3F >> continuations);
  for (int k = 1; k <= continuations; ++k) {
    const auto next = static_cast<uint8_t>(path[i + static_cast<size_t>(k)]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  return static_cast<size_t>(continuations) + 1;
}

}  // namespace

std::string Utf8Path(const std::u16string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    if (IsEscapedByte(name[i])) {
      out += static_cast<char>(name[i] - kEscapeBase);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf16Path(const std::string& path) {
  std::u16string out;
  out.reserve(path.size());
  size_t i = 0;
  while (i < path.size()) {
    char32_t code = 0;
    const size_t length = DecodeOne(path, i, code);
    if (length == 0) {
      // Not UTF-8: the byte itself, escaped (it is 0x80 or above).
      out += static_cast<char16_t>(kEscapeBase + static_cast<uint8_t>(path[i]));
      ++i;
      continue;
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
  }
  return out;
}

}  // namespace platform
