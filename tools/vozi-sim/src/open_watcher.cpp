#include "open_watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace vozisim {

OpenWatcher::~OpenWatcher() { Stop(); }

bool OpenWatcher::Watch(const std::string& path) {
  Stop();
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return false;
  if (inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    Stop();
    return false;
  }
  return true;
}

void OpenWatcher::Stop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  opens_ = 0;
}

OpenWatcher::Change OpenWatcher::Process() {
  if (fd_ < 0) return Change::None;
  const bool before = opens_ > 0;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at < n;) {
      inotify_event ev;
      std::memcpy(&ev, buffer + at, sizeof ev);
      if (ev.mask & IN_OPEN) ++opens_;
      if ((ev.mask & IN_CLOSE) && opens_ > 0) --opens_;
      // Lost events leave the count unknown; assume nobody holds the port so
      // that a later host is not locked out.
      if (ev.mask & IN_Q_OVERFLOW) opens_ = 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
    }
  }
  const bool after = opens_ > 0;
  if (!before && after) return Change::FirstOpened;
  if (before && !after) return Change::LastClosed;
  return Change::None;
}

}  // namespace vozisim
