#pragma once
// Wide output streams whose text ends up in an NRV::String. The streams are
// std::wostream, so numbers follow the locale the stream was created with;
// the wide characters are stored as UTF-16 (on Linux, where wchar_t is
// UTF-32, characters beyond U+FFFF become surrogate pairs).
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "text/nrv_string.h"

namespace NRV {

// Keeps written characters as UTF-16 in an NRV::String buffer that doubles
// whenever it is full.
class MemStreamBufBase : public std::basic_streambuf<wchar_t> {
 public:
  // Characters written since the last Take, terminator not included.
  uint32_t Written() const { return written_; }

 protected:
  MemStreamBufBase() = default;

  int_type overflow(int_type c) override;
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override;

  // Hands out what was written as a string and starts afresh: a terminating
  // zero is added unless the last unit written was one, and the string's
  // count is the number of units written, terminator included.
  String Take();

 private:
  void Put(char16_t unit);
  void PutCharacter(wchar_t c);

  String storage_;             // unique while buffer_ points into it
  char16_t* buffer_ = nullptr;  // its characters, written directly
  uint32_t written_ = 0;
};

class StringStreamBuf : public MemStreamBufBase {
 public:
  String Result() { return Take(); }
};

class OStringStream : public std::basic_ostream<wchar_t> {
 public:
  OStringStream();
  OStringStream(const OStringStream&) = delete;
  OStringStream& operator=(const OStringStream&) = delete;

  // The text written so far; the stream starts empty again afterwards.
  String Result() { return buffer_.Result(); }

 private:
  StringStreamBuf buffer_;
};

// Writes UTF-16 text into a wide stream.
void WriteUtf16(std::basic_ostream<wchar_t>& stream, std::u16string_view text);
std::basic_ostream<wchar_t>& operator<<(std::basic_ostream<wchar_t>& stream, const String& text);

// A narrow zero-terminated text in the calling thread's ANSI code page, to be
// written into a wide stream: `stream << AnsiText{buffer}`. A null text, or
// one that does not convert, writes nothing.
struct AnsiText {
  const char* text;
};
std::basic_ostream<wchar_t>& operator<<(std::basic_ostream<wchar_t>& stream, AnsiText text);

}  // namespace NRV
