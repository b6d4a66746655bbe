#pragma once
// UTF-8 as Windows converts it with flags 0: malformed input is not an error
// but becomes U+FFFD, one per maximal ill-formed subpart; an unpaired
// surrogate in UTF-16 input is written as the encoding of U+FFFD.
#include <string>
#include <string_view>

namespace platform::utf8 {

std::u16string Decode(std::string_view bytes);
std::string Encode(std::u16string_view text);

}  // namespace platform::utf8
