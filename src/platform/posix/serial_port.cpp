// The serial port on Linux: a tty opened non-blocking and exclusively, raw
// 8N1, waited on with poll together with the reader's stop event.
#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/deadline.h"
#include "platform/posix/custom_baud.h"
#include "platform/posix/utf8_path.h"

namespace platform {

struct SerialPort::Impl {
  int fd = -1;
  // Another thread's call to look again (Wake): polled with the port.
  Event wake;
};

namespace {

speed_t StandardSpeed(int32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    default: return 0;
  }
}

// DTR off, RTS as asked. A pseudo-terminal has no modem lines and refuses
// these requests; that is no reason to refuse the port.
void SetModemLines(int fd, int32_t rtsMode) {
  int dtr = TIOCM_DTR;
  ioctl(fd, TIOCMBIC, &dtr);
  int rts = TIOCM_RTS;
  if ((rtsMode & 3) == kRtsControlEnable) {
    ioctl(fd, TIOCMBIS, &rts);
  } else if ((rtsMode & 3) == 0) {
    ioctl(fd, TIOCMBIC, &rts);
  }
}

}  // namespace

SerialPort::SerialPort() : impl_(new Impl) {}

SerialPort::~SerialPort() {
  Close();
  delete impl_;
}

bool SerialPort::Open(const std::u16string& name) {
  if (IsOpen()) return false;
  const std::string path = Utf8Path(name);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Exclusive use, as a Windows COM port is: TIOCEXCL keeps other processes
  // out (except privileged ones), the lock also catches a second open by a
  // privileged process or by this one.
  termios probe;
  if (tcgetattr(fd, &probe) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    close(fd);
    return false;
  }
  impl_->fd = fd;
  return true;
}

bool SerialPort::IsOpen() const { return impl_->fd >= 0; }

void SerialPort::Close() {
  if (impl_->fd < 0) return;
  ioctl(impl_->fd, TIOCNXCL);
  close(impl_->fd);
  impl_->fd = -1;
}

bool SerialPort::Configure(int32_t rate, int32_t rtsMode) {
  const int fd = impl_->fd;
  termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_cc[VMIN] = 0;  // reads return at once with what is held
  t.c_cc[VTIME] = 0;
  const speed_t standard = rate > 0 ? StandardSpeed(rate) : 0;
  if (standard != 0) {
    cfsetispeed(&t, standard);
    cfsetospeed(&t, standard);
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
  if (rate > 0 && standard == 0 && !SetCustomBaudRate(fd, rate)) return false;
  SetModemLines(fd, rtsMode);
  return true;
}

bool SerialPort::Write(const uint8_t* bytes, int32_t length, uint32_t timeoutMs) {
  const int fd = impl_->fd;
  if (fd < 0 || length < 0) return false;
  const Deadline deadline(timeoutMs);
  int32_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, static_cast<size_t>(length - done));
    if (n > 0) {
      done += static_cast<int32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    if (deadline.Expired()) return false;
    const int left = static_cast<int>(std::min<uint32_t>(deadline.RemainingMs(), INT32_MAX));
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, left) <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
  }
  return true;
}

SerialPort::WaitOutcome SerialPort::WaitForInput(Event& stopEvent, uint32_t timeoutMs) {
  const int fd = impl_->fd;
  Event& wake = impl_->wake;
  if (fd < 0 || !stopEvent.Valid()) return WaitOutcome::Failed;
  // A Wake ends the wait early, as if quiet, so that the caller looks at its
  // state again.
  pollfd p[3] = {{static_cast<int>(stopEvent.Native()), POLLIN, 0},
                 {fd, POLLIN, 0},
                 {wake.Valid() ? static_cast<int>(wake.Native()) : -1, POLLIN, 0}};
  int n;
  do {
    n = poll(p, 3, timeoutMs == kInfinite ? -1 : static_cast<int>(timeoutMs));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return WaitOutcome::Failed;
  if (n == 0) return WaitOutcome::Quiet;
  if (p[0].revents & POLLIN) {
    stopEvent.Reset();
    return WaitOutcome::Stop;
  }
  if (p[2].revents & POLLIN) wake.Reset();
  if (p[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
    // A hung-up tty also reports itself readable. Bytes that arrived before
    // the hang-up are still read; once none are left, the port has failed.
    int held = 0;
    if ((p[1].revents & POLLIN) && ioctl(fd, FIONREAD, &held) == 0 && held > 0) return WaitOutcome::Input;
    return WaitOutcome::Failed;
  }
  return (p[1].revents & POLLIN) ? WaitOutcome::Input : WaitOutcome::Quiet;
}

void SerialPort::Wake() { impl_->wake.Set(); }

void SerialPort::DiscardWake() { impl_->wake.Reset(); }

bool SerialPort::Ready() const { return impl_->wake.Valid(); }

int32_t SerialPort::ReadAvailable(uint8_t* buffer, int32_t maxBytes) {
  if (impl_->fd < 0 || maxBytes <= 0) return 0;
  ssize_t n;
  do {
    n = read(impl_->fd, buffer, static_cast<size_t>(maxBytes));
  } while (n < 0 && errno == EINTR);
  return n > 0 ? static_cast<int32_t>(n) : 0;
}

// Here every wait can be woken.
SerialPort::WaitOutcome SerialPort::WaitForInputOrWake(Event& stopEvent, uint32_t timeoutMs) {
  return WaitForInput(stopEvent, timeoutMs);
}

bool SerialPort::ParkAfterFailure(Event& stopEvent) {
  // A failed tty reports hang-up on every poll, so only the stop event is
  // waited for: the thread sleeps instead of spinning.
  return stopEvent.Wait(kInfinite) != WaitResult::Failed;
}

}  // namespace platform
