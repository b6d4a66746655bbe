#include "trace/trace_line.h"

#include <algorithm>
#include <cstdio>

namespace trace {
namespace {
constexpr char kHex[] = "0123456789abcdef";
}

void TraceLine::Put(char c) {
  // The last byte is kept for the LF that Finish adds.
  if (end_ < kCapacity - 1) buffer_[end_++] = c;
}

void TraceLine::Text(std::string_view text) {
  for (char c : text) Put(c);
}

void TraceLine::Number(uint64_t value) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) Put(digits[--n]);
}

void TraceLine::Name(std::u16string_view name) {
  if (name.size() > kShownNameUnits) {
    Text("...");
    name.remove_prefix(name.size() - kShownNameUnits);
  }
  for (char16_t unit : name) {
    if (unit > 0x20 && unit < 0x7f) {
      Put(static_cast<char>(unit));
    } else {
      Text("\\u");
      for (int shift = 12; shift >= 0; shift -= 4) Put(kHex[(unit >> shift) & 0xf]);
    }
  }
}

void TraceLine::Escaped(uint8_t b) {
  switch (b) {
    case '"': Text("\\\""); break;
    case '\\': Text("\\\\"); break;
    case '\r': Text("\\r"); break;
    case '\n': Text("\\n"); break;
    case '\t': Text("\\t"); break;
    default:
      if (b >= 0x20 && b < 0x7f) {
        Put(static_cast<char>(b));
      } else {
        Text("\\x");
        Put(kHex[b >> 4]);
        Put(kHex[b & 0xf]);
      }
  }
}

void TraceLine::Quoted(const uint8_t* bytes, size_t length, std::string_view ending) {
  const size_t total = length + ending.size();
  const size_t shown = total < kShownBytes ? total : kShownBytes;
  Put('"');
  for (size_t i = 0; i < shown; ++i) Escaped(i < length ? bytes[i] : static_cast<uint8_t>(ending[i - length]));
  Put('"');
  if (shown < total) {
    Text("... (");
    Number(total);
    Text(" bytes)");
  }
}

void TraceLine::Format(const char* format, va_list arguments) {
  // The slot kept for the LF may hold vsnprintf's terminating zero meanwhile
  // (Finish writes over it), so the text fills the buffer exactly as Put does.
  const size_t room = kCapacity - end_;  // at least 1: end_ stops at kCapacity - 1
  const int n = std::vsnprintf(buffer_ + end_, room, format, arguments);
  if (n > 0) end_ += std::min(static_cast<size_t>(n), room - 1);
}

std::string_view TraceLine::FinishUnstamped() {
  buffer_[end_++] = '\n';
  return std::string_view(buffer_ + kStampRoom, end_ - kStampRoom);
}

std::string_view TraceLine::Finish(uint64_t microseconds) {
  buffer_[end_++] = '\n';
  // Written backwards from the end of the room: "<seconds>.<6 digits> ".
  size_t start = kStampRoom;
  buffer_[--start] = ' ';
  uint64_t fraction = microseconds % 1000000u;
  for (int i = 0; i < 6; ++i) {
    buffer_[--start] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  buffer_[--start] = '.';
  uint64_t seconds = microseconds / 1000000u;
  do {
    buffer_[--start] = static_cast<char>('0' + seconds % 10);
    seconds /= 10;
  } while (seconds != 0);
  return std::string_view(buffer_ + start, end_ - start);
}

}  // namespace trace
