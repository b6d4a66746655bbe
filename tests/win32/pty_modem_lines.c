/*
 * Modem lines for a pseudo-terminal, preloaded into Wine for the Windows tests.
 *
 * Wine's serial driver reads the modem status (ioctl TIOCMGET) each time it
 * polls a pending WaitCommEvent, and completes the wait as cancelled
 * (ERROR_OPERATION_ABORTED, empty mask) when that read fails. A Linux
 * pseudo-terminal has no modem lines, so TIOCMGET fails on it, and every
 * overlapped comm wait on a pty-backed COM port ends that way at once. A real
 * UART or USB adapter answers TIOCMGET, so the library sees nothing of this on
 * real ports.
 *
 * This shim stands in for the missing lines: when a modem-line request fails
 * on a terminal, it answers as a port with CTS, DSR and carrier raised would,
 * and remembers DTR and RTS as set. Everything else goes to the real ioctl.
 *
 * Built 32-bit without the C library's headers (the build machine has only
 * the 32-bit runtime): scripts/wine-test compiles it with -m32 -nostdlib.
 */
#include <stdarg.h>

#define RTLD_NEXT_HANDLE ((void*)-1l)
#define TCGETS_REQUEST 0x5401ul
#define TIOCMGET_REQUEST 0x5415ul
#define TIOCMBIS_REQUEST 0x5416ul
#define TIOCMBIC_REQUEST 0x5417ul
#define TIOCMSET_REQUEST 0x5418ul
#define LINE_DTR 0x002
#define LINE_RTS 0x004
#define LINE_CTS 0x020
#define LINE_CAR 0x040
#define LINE_DSR 0x100

extern void* dlsym(void* handle, const char* name);
extern int* __errno_location(void);

typedef int (*IoctlFunction)(int, unsigned long, ...);

static int outputLines = LINE_DTR | LINE_RTS;

/* 32-bit builds with a 64-bit time_t (Debian's Wine among them) call
 * __ioctl_time64 instead of ioctl; both are stood in for. */
static IoctlFunction RealIoctl(void) {
  static IoctlFunction real;
  if (!real) real = (IoctlFunction)dlsym(RTLD_NEXT_HANDLE, "ioctl");
  return real;
}

static IoctlFunction RealIoctlTime64(void) {
  static IoctlFunction real;
  if (!real) real = (IoctlFunction)dlsym(RTLD_NEXT_HANDLE, "__ioctl_time64");
  return real ? real : RealIoctl();
}

static int IsTerminal(IoctlFunction real, int fd) {
  unsigned char settings[64]; /* struct termios is 60 bytes on i386 */
  return real(fd, TCGETS_REQUEST, settings) == 0;
}

static int ModemLinesOrReal(IoctlFunction real, int fd, unsigned long request, void* argument) {
  const int saved = *__errno_location();
  const int result = real(fd, request, argument);
  if (result == 0) return 0;
  const int failure = *__errno_location();
  const int isModemRequest = request == TIOCMGET_REQUEST || request == TIOCMBIS_REQUEST ||
                             request == TIOCMBIC_REQUEST || request == TIOCMSET_REQUEST;
  if (!isModemRequest || argument == 0 || !IsTerminal(real, fd)) {
    *__errno_location() = failure;
    return result;
  }
  int* lines = (int*)argument;
  switch (request) {
    case TIOCMGET_REQUEST:
      *lines = outputLines | LINE_CTS | LINE_DSR | LINE_CAR;
      break;
    case TIOCMBIS_REQUEST:
      outputLines |= *lines & (LINE_DTR | LINE_RTS);
      break;
    case TIOCMBIC_REQUEST:
      outputLines &= ~(*lines & (LINE_DTR | LINE_RTS));
      break;
    default:
      outputLines = *lines & (LINE_DTR | LINE_RTS);
      break;
  }
  *__errno_location() = saved;
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return ModemLinesOrReal(RealIoctl(), fd, request, argument);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return ModemLinesOrReal(RealIoctlTime64(), fd, request, argument);
}
