#pragma once
// What every fuzz target needs besides libFuzzer: a broken invariant must end
// the run as a crash (so that libFuzzer keeps the input), with enough text to
// see which invariant it was.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Bytes as printable text with escapes, for the failure detail.
inline std::string Printable(std::string_view bytes, size_t limit = 200) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

// Reads the input front to back; past its end every read gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return position_ >= size_; }
  size_t Left() const { return size_ - position_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t Unit() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  int32_t Int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return static_cast<int32_t>(v);
  }
  // Up to `count` bytes (fewer at the end of the input).
  std::string_view Bytes(size_t count) {
    const size_t n = count < Left() ? count : Left();
    std::string_view out(reinterpret_cast<const char*>(data_ + position_), n);
    position_ += n;
    return out;
  }
  std::string_view Rest() { return Bytes(Left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace fuzz

#define FUZZ_CHECK(condition, detail)                                          \
  do {                                                                         \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)
