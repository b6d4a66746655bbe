#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace testing_support {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  slavePath_ = ptsname(master_);
  keepSlave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t;
  if (keepSlave_ >= 0 && tcgetattr(keepSlave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(keepSlave_, TCSANOW, &t);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (keepSlave_ >= 0) close(keepSlave_);
  if (master_ >= 0) close(master_);
}

void PtyPair::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
}

std::string PtyPair::Receive(size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::string PtyPair::ReceiveFor(std::chrono::milliseconds duration) {
  return Receive(static_cast<size_t>(-1) / 2, duration);
}

void PtyPair::HangUp() {
  if (keepSlave_ >= 0) close(keepSlave_);
  keepSlave_ = -1;
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testing_support
