// The trace file on Linux: an O_APPEND descriptor, whose every write(2) lands
// at the file's end as one piece.
#include "platform/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

// The trace must leave no trace in errno: the library's own error reports
// read it after the calls the trace sits beside.
class ErrnoKept {
 public:
  ~ErrnoKept() { errno = saved_; }

 private:
  int saved_ = errno;
};

}  // namespace

AppendFile::Opened AppendFile::OpenNamedBy(const char* variable) {
  const ErrnoKept kept;
  const char* path = std::getenv(variable);
  if (path == nullptr || *path == '\0') return Opened::NotNamed;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "vozi: no trace: cannot open %s (named by %s): %s\n", path, variable, std::strerror(error));
    return Opened::Failed;
  }
  native_ = fd;
  return Opened::Yes;
}

bool AppendFile::Append(const char* bytes, size_t length) {
  if (native_ < 0) return false;
  const ErrnoKept kept;
  while (length > 0) {
    const ssize_t n = write(static_cast<int>(native_), bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void AppendFile::Close() {
  if (native_ >= 0) close(static_cast<int>(native_));
  native_ = -1;
}

bool AppendFile::IsOpen() const { return native_ >= 0; }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace platform
