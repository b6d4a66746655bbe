// Events as eventfds: pollable together with a serial port, and a successful
// read of the counter consumes the signal, which is auto-reset behaviour.
#include "platform/sync.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/deadline.h"

namespace platform {

uint64_t MonotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

namespace {

bool Consume(int fd) {
  eventfd_t value;
  return eventfd_read(fd, &value) == 0;
}

// Polls the descriptors until one of them can be consumed, the time runs out
// (-1) or polling fails (-2). Another waiter may take a signal between poll
// and read; then we simply wait on for the rest of the time.
int PollAndConsume(const int* fds, int count, uint32_t timeoutMs) {
  const Deadline deadline(timeoutMs);
  const bool forever = deadline.Infinite();
  for (;;) {
    pollfd p[2];
    for (int i = 0; i < count; ++i) p[i] = {fds[i], POLLIN, 0};
    const int wait = forever ? -1 : static_cast<int>(std::min<uint32_t>(deadline.RemainingMs(), INT32_MAX));
    int n = poll(p, count, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -2;
    }
    if (n == 0) return -1;
    for (int i = 0; i < count; ++i) {
      if (p[i].revents & (POLLERR | POLLNVAL)) return -2;
      if ((p[i].revents & POLLIN) && Consume(fds[i])) return i;
    }
    if (deadline.Expired()) return -1;
  }
}

}  // namespace

Event::Event() : native_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

bool Event::Valid() const { return native_ >= 0; }

void Event::Set() {
  if (native_ >= 0) eventfd_write(static_cast<int>(native_), 1);
}

void Event::Reset() {
  if (native_ >= 0) Consume(static_cast<int>(native_));
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  if (native_ < 0) return WaitResult::Failed;
  int fd = static_cast<int>(native_);
  switch (PollAndConsume(&fd, 1, timeoutMs)) {
    case 0: return WaitResult::Signalled;
    case -1: return WaitResult::TimedOut;
    default: return WaitResult::Failed;
  }
}

int WaitAny(Event& first, Event& second, uint32_t timeoutMs) {
  if (!first.Valid() || !second.Valid()) return -2;
  int fds[2] = {static_cast<int>(first.Native()), static_cast<int>(second.Native())};
  return PollAndConsume(fds, 2, timeoutMs);
}

void SleepMs(uint32_t ms) {
  timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
