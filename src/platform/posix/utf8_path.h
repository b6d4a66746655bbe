#pragma once
// File names reach Linux as bytes, almost always UTF-8, but the kernel does
// not insist: a tty or a folder may carry a name that is not UTF-8. Such a
// name must still open after a trip through the UTF-16 text of the system, so
// every byte that is not part of valid UTF-8 travels as a lone low surrogate
// U+DC80..U+DCFF (byte 0x80..0xFF), which valid UTF-8 never yields, and is
// turned back into that byte on the way out. The codec is the one of
// utf8_codec.h; only what becomes of malformed input differs.
#include <string>

namespace platform {

// A file name for the system: UTF-16 encoded as UTF-8, escaped bytes restored.
// Any other unpaired surrogate is written as U+FFFD.
std::string Utf8Path(const std::u16string& name);

// A file name as text: decoded as UTF-8, every byte outside a valid sequence
// escaped. Utf8Path(Utf16Path(bytes)) gives the bytes back exactly.
std::u16string Utf16Path(const std::string& path);

}  // namespace platform
