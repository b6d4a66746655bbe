#pragma once
// The text the host reads from the receive ring, checked line by line as it
// is drained: every line is "@ ", then values, then one LF. A value is "0,"
// (a field without a value) or a plain decimal integer (optional '-', no
// leading zeros, within 32 bits) followed by a comma; only the last value may
// go without its comma.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"

namespace fuzz {

// Reads one integer at `at` as the decoder writes it; false when there is none.
inline bool ReadPlainInteger(std::string_view text, size_t& at) {
  const size_t begin = at;
  if (at < text.size() && text[at] == '-') ++at;
  const size_t digits = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  const size_t n = at - digits;
  if (n == 0 || n > 10) return false;
  if (text[digits] == '0' && (n > 1 || digits != begin)) return false;  // "007", "-0"
  if (n < 10) return true;
  // Ten digits: compare with the 32-bit limits as text.
  const std::string_view number = text.substr(digits, n);
  return number <= (digits != begin ? "2147483648" : "2147483647");
}

inline bool IsWellFormedRingLine(std::string_view line) {
  if (line.size() < 3 || line.compare(0, 2, "@ ") != 0 || line.back() != '\n') return false;
  size_t at = 2;
  const size_t end = line.size() - 1;
  while (at < end) {
    if (!ReadPlainInteger(line, at)) return false;
    if (at == end) break;  // the last value, without its comma
    if (line[at] != ',') return false;
    ++at;
  }
  return at == end;
}

class RingText {
 public:
  // A long well-formed line for filling the ring; its many copies are
  // recognised whole instead of being parsed value by value.
  static const std::string& Filler() {
    static const std::string filler = [] {
      std::string line = "@ ";
      for (int i = 0; i < 1000; ++i) line += "32767,";
      return line + "0\n";
    }();
    return filler;
  }

  // Adds drained bytes and checks every line they complete.
  void Add(std::string_view bytes) {
    text_.append(bytes);
    size_t begin = 0, lf;
    while ((lf = text_.find('\n', begin)) != std::string::npos) {
      const std::string_view line(text_.data() + begin, lf + 1 - begin);
      FUZZ_CHECK(line == Filler() || IsWellFormedRingLine(line), "ring line \"" + Printable(line) + "\"");
      begin = lf + 1;
    }
    text_.erase(0, begin);
  }
  // After the ring was drained completely: no partial line may be left.
  void CheckDrained() const {
    FUZZ_CHECK(text_.empty(), "the ring held a partial line: \"" + Printable(text_) + "\"");
  }
  // Flushing the ring drops whatever was not read.
  void Clear() { text_.clear(); }

 private:
  std::string text_;
};

}  // namespace fuzz
