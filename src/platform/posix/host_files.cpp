#include "platform/host_files.h"

#include <limits.h>
#include <unistd.h>

#include "platform/posix/regular_file.h"
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

std::optional<std::u16string> MachineWideHostFile(const std::u16string& name) {
  return u"/etc/vozi/" + name;
}

std::optional<std::string> ReadSmallFile(const std::u16string& path, size_t maxBytes) {
  auto file = ReadRegularFile(Utf8Path(path), maxBytes);
  if (!file || file->truncated) return std::nullopt;
  return std::move(file->bytes);
}

}  // namespace platform
