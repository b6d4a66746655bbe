#include "platform/posix/utf8_codec.h"

#include <cstdint>

#include "platform/posix/utf8_path.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char16_t kEscapeBase = 0xDC00;  // a byte b that is not UTF-8 travels as U+DC00 + b

// What starts at bytes[i]: a valid sequence (its length and code point), or
// an ill-formed one, whose length is that of its maximal ill-formed subpart
// (the lead byte and the continuation bytes that could still have belonged
// to it). Overlong forms, encoded surrogates and values above U+10FFFF are
// ill-formed; an encoded surrogate would also collide with an escaped byte.
struct Sequence {
  size_t length;
  char32_t code;
  bool valid;
};

Sequence ScanOne(std::string_view bytes, size_t i) {
  const auto lead = static_cast<uint8_t>(bytes[i]);
  if (lead < 0x80) return {1, lead, true};
  int continuations = 0;
  uint8_t low = 0x80;   // bounds of the first continuation byte
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
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
    return {1, 0, false};
  }
  char32_t code = lead & (0x3F >> continuations);
  size_t next = i + 1;
  for (int k = 0; k < continuations; ++k, ++next) {
    if (next >= bytes.size()) return {next - i, 0, false};
    const auto b = static_cast<uint8_t>(bytes[next]);
    if (b < (k == 0 ? low : 0x80) || b > (k == 0 ? high : 0xBF)) return {next - i, 0, false};
    code = (code << 6) | (b & 0x3F);
  }
  return {next - i, code, true};
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
    return;
  }
  cp -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsEscapedByte(char16_t u) { return u >= kEscapeBase + 0x80 && u <= kEscapeBase + 0xFF; }

// Text replaces what is not UTF-8, as Windows does; a file name keeps it.
enum class Malformed { Replace, Escape };

std::u16string DecodeAs(std::string_view bytes, Malformed malformed) {
  std::u16string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const Sequence s = ScanOne(bytes, i);
    if (s.valid) {
      AppendUtf16(out, s.code);
      i += s.length;
    } else if (malformed == Malformed::Replace) {
      out.push_back(static_cast<char16_t>(kReplacement));  // one for the whole ill-formed subpart
      i += s.length;
    } else {
      // Byte by byte, so that every byte comes back exactly; the ones after
      // the first are continuation bytes, which are never valid on their own.
      out.push_back(static_cast<char16_t>(kEscapeBase + static_cast<uint8_t>(bytes[i])));
      ++i;
    }
  }
  return out;
}

std::string EncodeAs(std::u16string_view text, Malformed malformed) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (malformed == Malformed::Escape && IsEscapedByte(unit)) {
      out.push_back(static_cast<char>(unit - kEscapeBase));
    } else if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace

namespace utf8 {

std::u16string Decode(std::string_view bytes) { return DecodeAs(bytes, Malformed::Replace); }
std::string Encode(std::u16string_view text) { return EncodeAs(text, Malformed::Replace); }

}  // namespace utf8

std::string Utf8Path(const std::u16string& name) { return EncodeAs(name, Malformed::Escape); }
std::u16string Utf16Path(const std::string& path) { return DecodeAs(path, Malformed::Escape); }

}  // namespace platform
