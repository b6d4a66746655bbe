#pragma once
// Code pages other than the ANSI one and UTF-8, converted with iconv under the
// name "CP<n>", with Windows' substitutions for what does not convert.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::iconv_codec {

// nullopt when iconv does not know the code page.
std::optional<std::u16string> Decode(std::string_view bytes, uint32_t codePage);
std::optional<std::string> Encode(std::u16string_view text, uint32_t codePage);

}  // namespace platform::iconv_codec
