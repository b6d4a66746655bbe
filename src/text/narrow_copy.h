#pragma once
// How a wide text reaches the host: converted to narrow bytes in the host
// code page and copied, terminated, into the host's buffer.
#include <cstdint>
#include <string_view>

// Copies text into destination (size bytes, terminator included) in the
// given code page. The empty text, a conversion failure, a null destination
// or a size below 1 leave the destination untouched (false). A text that
// does not fit is cut at a character boundary and still terminated: the
// host gets a shorter but valid text, never bytes past its buffer (false).
bool NarrowCopy(std::u16string_view text, char* destination, int32_t size, uint32_t codePage);

// The same in the host code page of the user's regional settings (sets them
// up on first use).
bool NarrowCopyToHost(std::u16string_view text, char* destination, int32_t size);
