#include "text/narrow_copy.h"

#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "text/host_code_page.h"

namespace {

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// The longest prefix of text, cut between characters, whose conversion fits
// in `room` bytes.
std::string FittingPrefix(std::u16string_view text, size_t room, uint32_t codePage) {
  std::string fitted;
  size_t i = 0;
  while (i < text.size()) {
    const size_t units = IsHighSurrogate(text[i]) && i + 1 < text.size() ? 2 : 1;
    auto piece = platform::WideToNarrow(text.substr(i, units), codePage);
    if (!piece || fitted.size() + piece->size() > room) break;
    fitted += *piece;
    i += units;
  }
  return fitted;
}

}  // namespace

bool NarrowCopy(std::u16string_view text, char* destination, int32_t size, uint32_t codePage) {
  if (text.empty() || destination == nullptr || size < 1) return false;
  auto narrow = platform::WideToNarrow(text, codePage);
  if (!narrow || narrow->empty()) return false;
  const size_t room = static_cast<size_t>(size) - 1;
  const bool fits = narrow->size() <= room;
  if (!fits) *narrow = FittingPrefix(text, room, codePage);
  std::memcpy(destination, narrow->data(), narrow->size());
  destination[narrow->size()] = '\0';
  return fits;
}

bool NarrowCopyToHost(std::u16string_view text, char* destination, int32_t size) {
  return NarrowCopy(text, destination, size, HostCodePage());
}
