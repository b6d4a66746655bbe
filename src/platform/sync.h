#pragma once
// Events and sleeping: the waiting primitives the device object is built on.
#include <cstdint>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signalled, TimedOut, Failed };

// An auto-reset event without a name, created non-signalled. A successful wait
// consumes the signal. On Windows it is a CreateEventW event; on Linux an
// eventfd, so that it can be polled together with a serial port.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const;
  void Set();
  void Reset();
  WaitResult Wait(uint32_t timeoutMs);

  // HANDLE on Windows, file descriptor on Linux.
  intptr_t Native() const { return native_; }

 private:
  intptr_t native_;
};

// Waits until either event is signalled (consuming that signal) or the time
// runs out. Returns 0 or 1 for the event seen, -1 on time-out, -2 on failure.
int WaitAny(Event& first, Event& second, uint32_t timeoutMs);

void SleepMs(uint32_t ms);

}  // namespace platform
