#pragma once
// File names reach Linux as UTF-8 bytes.
#include <string>

namespace platform {
std::string Utf8Path(const std::u16string& name);
}

namespace platform {
// Decodes a UTF-8 file name; bytes that are not valid UTF-8 become U+FFFD.
std::u16string Utf16Path(const std::string& path);
}
