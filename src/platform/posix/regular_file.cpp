#include "platform/posix/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

std::optional<RegularFileBytes> ReadRegularFile(const std::string& path, size_t limit,
                                                bool followLastLink) {
  // Looked at before it is opened, so that nothing but a regular file is
  // ever opened; O_NONBLOCK and the second look cover a swap in between.
  struct stat before;
  const int looked = followLastLink ? ::stat(path.c_str(), &before) : ::lstat(path.c_str(), &before);
  if (looked != 0 || !S_ISREG(before.st_mode)) return std::nullopt;
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLastLink ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) return std::nullopt;
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }

  RegularFileBytes result;
  // One byte beyond the limit tells whether the file is longer.
  std::string buffer(limit + 1, '\0');
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ::close(fd);
      return std::nullopt;
    }
  }
  ::close(fd);
  result.truncated = done > limit;
  buffer.resize(result.truncated ? limit : done);
  result.bytes = std::move(buffer);
  return result;
}

}  // namespace platform
