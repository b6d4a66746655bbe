// The library has no window on Linux: the message goes to standard error as
// one line, caption first, in UTF-8.
#include "platform/message_box.h"

#include <cstdio>
#include <string>

#include "platform/posix/utf8_codec.h"

namespace platform {

void ShowTaskModalMessage(std::u16string_view text, std::u16string_view caption) {
  std::string line = utf8::Encode(caption);
  if (!line.empty()) line += ": ";
  line += utf8::Encode(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace platform
