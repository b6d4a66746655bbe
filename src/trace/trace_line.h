#pragma once
// One line of the trace, built in a fixed buffer on the caller's stack: no
// allocation, and no input can make it overflow (what does not fit is cut).
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trace {

class TraceLine {
 public:
  // Received lines and sent frames show this many bytes; a longer one is cut
  // and its full length noted. A line of the instrument is far shorter; a
  // longer one is garbage on the wire, and its start says enough.
  static constexpr size_t kShownBytes = 200;
  // Device names keep their last this many characters, which tell ports apart.
  static constexpr size_t kShownNameUnits = 48;
  // A whole line at most, LF included.
  static constexpr size_t kCapacity = 1536;

  void Text(std::string_view text);
  void Number(uint64_t value);
  // A port name: ASCII as it is, anything else as \uXXXX.
  void Name(std::u16string_view name);
  // Bytes and then `ending` in double quotes: printable ASCII as it is,
  // \" \\ \r \n \t, every other byte as \xNN, so that one trace line stays one
  // line of text.
  void Quoted(const uint8_t* bytes, size_t length, std::string_view ending = {});
  void Format(const char* format, va_list arguments);

  // Puts the time stamp (microseconds shown as seconds) in the room kept for
  // it at the front and returns the whole line, ended by LF.
  std::string_view Finish(uint64_t microseconds);
  // The line without a stamp (the file's heading), ended by LF.
  std::string_view FinishUnstamped();

 private:
  void Put(char c);
  void Escaped(uint8_t byte);
  // Room for the stamp ("18446744073709.551615 " at most).
  static constexpr size_t kStampRoom = 24;
  char buffer_[kCapacity];
  size_t end_ = kStampRoom;
};

}  // namespace trace
