#pragma once
// The calling thread's last system error and the system's text for a code.
#include <cstdint>
#include <string>

namespace platform {

// GetLastError on Windows, errno on Linux.
uint32_t LastSystemError();

// The system's message for `code` in the user's language, at most maxChars
// units, inserts left as they are; empty when the system has none. Windows
// asks FormatMessageW; Linux uses the C library's error texts (strerror) for
// the codes it knows.
std::u16string SystemErrorText(uint32_t code, uint32_t maxChars);

}  // namespace platform
