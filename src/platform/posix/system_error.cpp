// System error texts on Linux: the C library's texts for errno values.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/utf8_codec.h"

namespace platform {
namespace {

// errno values are small; anything larger (an HRESULT, say) has no C library
// text, only glibc's "Unknown error N", which would mislead.
constexpr uint32_t kLargestErrno = 4095;

}  // namespace

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

std::u16string SystemErrorText(uint32_t code, uint32_t maxChars) {
  if (code > kLargestErrno) return {};
  char buffer[512];
  // The GNU strerror_r returns its text, which need not be in the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof(buffer));
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return {};
  std::u16string wide = utf8::Decode(text);
  if (wide.size() > maxChars) wide.resize(maxChars);
  return wide;
}

}  // namespace platform
