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

// The same for a character set named as the C library names it ("ISO-8859-1").
std::optional<std::u16string> DecodeCharset(std::string_view bytes, const std::string& charset);

// iconv's name for a Windows code page number: "CP<n>" except for the code
// pages Windows numbers apart from their usual names (28591 is ISO-8859-1).
std::string CharsetOfCodePage(uint32_t codePage);
// The Windows code page number of a C library character set name; nullopt
// when there is none we know of.
std::optional<uint32_t> CodePageOfCharset(const std::string& charset);

}  // namespace platform::iconv_codec
