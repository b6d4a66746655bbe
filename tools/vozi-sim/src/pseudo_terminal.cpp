#include "pseudo_terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vozisim {
namespace {

std::string Failure(const char* step) { return std::string(step) + ": " + std::strerror(errno); }

}  // namespace

PseudoTerminal::~PseudoTerminal() { Close(); }

std::string PseudoTerminal::Open() {
  Close();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return Failure("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
    std::string err = Failure("grantpt/unlockpt/ptsname");
    Close();
    return err;
  }
  slavePath_ = name;
  keptSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (keptSlave_ < 0) {
    std::string err = Failure("open slave");
    Close();
    return err;
  }
  // Raw on the slave side: a host that does not configure the line must
  // still see the bytes unchanged (no echo, no CR/LF translation).
  termios tio{};
  if (tcgetattr(keptSlave_, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(keptSlave_, TCSANOW, &tio);
  }
  const int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    std::string err = Failure("fcntl master");
    Close();
    return err;
  }
  return "";
}

void PseudoTerminal::Close() {
  if (keptSlave_ >= 0) ::close(keptSlave_);
  if (master_ >= 0) ::close(master_);
  keptSlave_ = -1;
  master_ = -1;
}

long PseudoTerminal::Read(char* buffer, size_t size) {
  const ssize_t n = ::read(master_, buffer, size);
  if (n > 0) return n;
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // EIO means no slave is open; we keep one, so treat it as nothing to read.
  if (n < 0 && errno == EIO && keptSlave_ >= 0) return 0;
  return n == 0 ? 0 : -1;
}

long PseudoTerminal::Write(const char* bytes, size_t size) {
  const ssize_t n = ::write(master_, bytes, size);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EINTR) return 0;
  return -1;
}

void PseudoTerminal::DiscardUnread() {
  if (keptSlave_ >= 0) tcflush(keptSlave_, TCIFLUSH);
}

void PseudoTerminal::HandOver() const {
  // Bytes written to the master wait in the kernel's buffer until a kernel
  // worker hands them to the slave's line discipline, where the host's read
  // and poll find them. On a machine whose cores are all busy that worker
  // was seen to run seconds late, and every answer and sample with it: a
  // start-up took up to 16 s instead of 1. A poll on the slave makes the
  // kernel finish the hand-over when the line discipline holds nothing (the
  // start-ups took 1 s again), as a serial driver hands each byte over as it
  // comes off the wire.
  if (keptSlave_ < 0) return;
  pollfd p{keptSlave_, POLLIN, 0};
  poll(&p, 1, 0);
}

int PseudoTerminal::Unread() const {
  if (keptSlave_ < 0) return 0;
  // TIOCINQ counts only the line discipline: finish the hand-over first, so
  // that nothing in transit passes for read.
  HandOver();
  int held = 0;
  if (ioctl(keptSlave_, TIOCINQ, &held) != 0) return 0;
  return held;
}

void PseudoTerminal::ClearExclusive() {
  if (keptSlave_ >= 0) ioctl(keptSlave_, TIOCNXCL);
}

}  // namespace vozisim
