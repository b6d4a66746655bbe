#pragma once
// Format texts with numbered placeholders, filled from a wide stream:
//
//   OFormatStringStream out(format);          // e.g. "%2 of %1"
//   out << count << endarg << name << endarg;
//   String text = out.Result();
//
// %1 to %20 are placeholders, %% stands for one percent sign, and a backslash
// right after the number ends it and is dropped ("%1\2" is argument 1 followed
// by "2"). A format without placeholders is copied unchanged (%% stays %%).
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "text/nrv_string.h"
#include "text/string_stream.h"

namespace NRV {

inline constexpr int kMaxPlaceholders = 20;

// One piece of a parsed format: literal text, or placeholder 1 to 20.
struct FormatPiece {
  std::u16string literal;
  int placeholder = 0;  // 0: literal
};

std::vector<FormatPiece> ParseFormat(std::u16string_view format);

class OFormatStream : public std::basic_ostream<wchar_t> {
 public:
  explicit OFormatStream(const String& format);
  OFormatStream(const OFormatStream&) = delete;
  OFormatStream& operator=(const OFormatStream&) = delete;

  // Ends the argument written since the previous end.
  OFormatStream& EndArgument();
  // How many arguments the format takes: its highest placeholder number.
  int ArgumentCount() const { return argumentCount_; }

 protected:
  // The format with every placeholder replaced by its argument; a placeholder
  // whose argument was never ended stays empty.
  String Assemble() const;

 private:
  std::vector<FormatPiece> pieces_;
  int argumentCount_ = 0;
  StringStreamBuf current_;
  std::vector<String> arguments_;
};

class OFormatStringStream : public OFormatStream {
 public:
  using OFormatStream::OFormatStream;
  String Result() const { return Assemble(); }
};

// The argument-end step as a manipulator: `stream << value << endarg`. On a
// stream that is not a format stream it does nothing.
std::basic_ostream<wchar_t>& endarg(std::basic_ostream<wchar_t>& stream);

}  // namespace NRV
