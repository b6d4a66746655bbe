#include "platform/host_files.h"

#include <limits.h>
#include <unistd.h>

#include "platform/posix/utf8_path.h"

namespace platform {

std::optional<std::u16string> PathBesideHostExecutable(const std::u16string& relative) {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::nullopt;
  std::string path(buffer, static_cast<size_t>(n));
  path.erase(path.rfind('/') + 1);
  std::u16string result = Utf16Path(path);
  for (char16_t c : relative) result += c == u'\\' ? u'/' : c;
  return result;
}

std::FILE* OpenForReading(const std::u16string& path) { return std::fopen(Utf8Path(path).c_str(), "rb"); }

}  // namespace platform
