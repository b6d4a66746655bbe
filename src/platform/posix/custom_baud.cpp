#include "platform/posix/custom_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace platform {

bool SetCustomBaudRate(int fd, int32_t rate) {
  struct termios2 t;
  if (rate <= 0 || ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  t.c_ispeed = static_cast<speed_t>(rate);
  t.c_ospeed = static_cast<speed_t>(rate);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace platform
