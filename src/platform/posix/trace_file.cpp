// The trace file on Linux: an O_APPEND descriptor, whose every write(2) lands
// at the file's end as one piece.
#include "platform/trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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

bool IsTraceable(const struct stat& status) { return S_ISREG(status.st_mode) || S_ISCHR(status.st_mode); }

AppendFile::Opened NotTraceable(const char* path, const char* variable) {
  std::fprintf(stderr, "vozi: no trace: %s (named by %s) is neither a regular file nor a character device\n", path,
               variable);
  return AppendFile::Opened::Failed;
}

}  // namespace

AppendFile::Opened AppendFile::OpenNamedBy(const char* variable) {
  const ErrnoKept kept;
  const char* path = std::getenv(variable);
  if (path == nullptr || *path == '\0') return Opened::NotNamed;
  // The trace is opened as the library loads, inside the host's start-up:
  // nothing here may wait. Only a regular file or a character device (a
  // terminal, /dev/null) is taken: a FIFO without a reader blocks open(),
  // and one whose reader stops reading, or a socket, would block every
  // traced call once its buffer is full; a block device is a disk. The open
  // does not block either (a serial port waits for its carrier), and the
  // type is checked again on what was opened, in case the name changed.
  struct stat status {};
  if (stat(path, &status) == 0 && !IsTraceable(status)) return NotTraceable(path, variable);
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "vozi: no trace: cannot open %s (named by %s): %s\n", path, variable, std::strerror(error));
    return Opened::Failed;
  }
  if (fstat(fd, &status) != 0 || !IsTraceable(status)) {
    close(fd);
    return NotTraceable(path, variable);
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
    // A device that cannot take it now (EAGAIN) loses the line: the trace
    // never holds up the call it describes.
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
