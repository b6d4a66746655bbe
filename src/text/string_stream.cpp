#include "text/string_stream.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace NRV {
namespace {

constexpr uint32_t kInitialUnits = 64;
constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

void MemStreamBufBase::Put(char16_t unit) {
  // Room for the unit and for the terminator Take may add.
  if (buffer_ == nullptr || written_ + 2 > storage_.Capacity()) {
    const uint32_t units = buffer_ == nullptr ? kInitialUnits : storage_.Capacity() * 2;
    String bigger;
    char16_t* target = bigger.PrepareEmptyBuffer(units - 1);
    std::copy_n(storage_.Chars(), written_, target);
    storage_ = std::move(bigger);
    buffer_ = target;
  }
  buffer_[written_++] = unit;
}

void MemStreamBufBase::PutCharacter(wchar_t c) {
  const auto code = static_cast<uint32_t>(c);
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    Put(static_cast<char16_t>(code));
  } else if (code >= 0x10000 && code <= 0x10FFFF) {
    Put(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
    Put(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
  } else if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    Put(kReplacement);  // not a character UTF-16 can carry
  } else {
    Put(static_cast<char16_t>(code));
  }
}

MemStreamBufBase::int_type MemStreamBufBase::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  PutCharacter(traits_type::to_char_type(c));
  return c;
}

std::streamsize MemStreamBufBase::xsputn(const wchar_t* text, std::streamsize count) {
  for (std::streamsize i = 0; i < count; ++i) PutCharacter(text[i]);
  return count;
}

String MemStreamBufBase::Take() {
  if (written_ == 0) return String();
  if (storage_.Chars()[written_ - 1] != u'\0') Put(u'\0');
  storage_.SetLength(written_ - 1);
  String result = std::move(storage_);
  storage_ = String();
  buffer_ = nullptr;
  written_ = 0;
  return result;
}

OStringStream::OStringStream() : std::basic_ostream<wchar_t>(nullptr) { init(&buffer_); }

void WriteUtf16(std::basic_ostream<wchar_t>& stream, std::u16string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool pair = sizeof(wchar_t) > sizeof(char16_t) && unit >= 0xD800 && unit <= 0xDBFF &&
                      i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pair) {
      const uint32_t code = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                            (static_cast<uint32_t>(text[++i]) - 0xDC00);
      wide.push_back(static_cast<wchar_t>(code));
    } else {
      wide.push_back(static_cast<wchar_t>(unit));
    }
  }
  stream.write(wide.data(), static_cast<std::streamsize>(wide.size()));
}

std::basic_ostream<wchar_t>& operator<<(std::basic_ostream<wchar_t>& stream, const String& text) {
  WriteUtf16(stream, text.View());
  return stream;
}

std::basic_ostream<wchar_t>& operator<<(std::basic_ostream<wchar_t>& stream, AnsiText text) {
  if (text.text == nullptr) return stream;
  const auto wide =
      platform::NarrowToWide(std::string_view(text.text), platform::kCP_THREAD_ACP);
  if (wide) WriteUtf16(stream, *wide);
  return stream;
}

}  // namespace NRV
