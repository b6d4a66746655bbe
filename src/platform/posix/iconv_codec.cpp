#include "platform/posix/iconv_codec.h"

#include <iconv.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace platform::iconv_codec {
namespace {

// char16_t text is in the machine's byte order.
constexpr const char* kUtf16Name =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

struct NamedCodePage {
  uint32_t codePage;
  const char* charset;
};

constexpr NamedCodePage kNamedCodePages[] = {
    {65001, "UTF-8"},       {20127, "ASCII"},       {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"},  {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},
    {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},  {28597, "ISO-8859-7"},
    {28598, "ISO-8859-8"},  {28599, "ISO-8859-9"},  {28603, "ISO-8859-13"},
    {28605, "ISO-8859-15"}, {20866, "KOI8-R"},      {21866, "KOI8-U"},
    {20932, "EUC-JP"},      {51949, "EUC-KR"},      {54936, "GB18030"},
    {936, "GBK"},           {950, "BIG5"},          {932, "SHIFT_JIS"},
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `input` into bytes. Where iconv stops at input it cannot
  // convert, `substitute` is appended and `skip` input bytes are passed over.
  // False on any other failure.
  bool Run(std::string_view input, std::string_view substitute, size_t skip, std::string& out) {
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    std::string buffer(input.size() * 2 + 16, '\0');
    while (inLeft > 0) {
      char* outPtr = buffer.data();
      size_t outLeft = buffer.size();
      const size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
      out.append(buffer.data(), buffer.size() - outLeft);
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) continue;
      if (errno != EILSEQ && errno != EINVAL) return false;
      out.append(substitute);
      const size_t step = skip < inLeft ? skip : inLeft;
      in += step;
      inLeft -= step;
    }
    return Flush(out);
  }

 private:
  // Stateful encodings may owe a final shift sequence.
  bool Flush(std::string& out) {
    char tail[16];
    char* outPtr = tail;
    size_t outLeft = sizeof(tail);
    if (iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return false;
    out.append(tail, sizeof(tail) - outLeft);
    return true;
  }

  iconv_t cd_;
};

}  // namespace

std::string CharsetOfCodePage(uint32_t codePage) {
  for (const NamedCodePage& named : kNamedCodePages) {
    // Windows' own code pages keep their CP names, which iconv knows exactly.
    if (named.codePage == codePage && codePage != 936 && codePage != 950 && codePage != 932) {
      return named.charset;
    }
  }
  return "CP" + std::to_string(codePage);
}

std::optional<uint32_t> CodePageOfCharset(const std::string& charset) {
  const std::string name = Upper(charset);
  if (name == "UTF8" || name == "ANSI_X3.4-1968") return 65001;  // ASCII is a subset of UTF-8
  for (const NamedCodePage& named : kNamedCodePages) {
    if (name == named.charset) return named.codePage;
  }
  if (name == "SJIS") return 932;
  if (name.rfind("CP", 0) == 0 && name.size() > 2 && name.size() <= 7 &&
      name.find_first_not_of("0123456789", 2) == std::string::npos) {
    return static_cast<uint32_t>(std::stoul(name.substr(2)));
  }
  return std::nullopt;
}

std::optional<std::u16string> Decode(std::string_view bytes, uint32_t codePage) {
  return DecodeCharset(bytes, CharsetOfCodePage(codePage));
}

std::optional<std::u16string> DecodeCharset(std::string_view bytes, const std::string& charset) {
  Converter converter(kUtf16Name, charset);
  if (!converter.Valid()) return std::nullopt;
  const char16_t replacement = 0xFFFD;
  std::string raw;
  if (!converter.Run(bytes, {reinterpret_cast<const char*>(&replacement), sizeof(replacement)},
                     1, raw)) {
    return std::nullopt;
  }
  std::u16string result(raw.size() / sizeof(char16_t), u'\0');
  std::memcpy(result.data(), raw.data(), result.size() * sizeof(char16_t));
  return result;
}

std::optional<std::string> Encode(std::u16string_view text, uint32_t codePage) {
  Converter converter(CharsetOfCodePage(codePage), kUtf16Name);
  if (!converter.Valid()) return std::nullopt;
  std::string result;
  // One '?' for each UTF-16 unit the code page cannot hold.
  if (!converter.Run({reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t)},
                     "?", sizeof(char16_t), result)) {
    return std::nullopt;
  }
  return result;
}

}  // namespace platform::iconv_codec
