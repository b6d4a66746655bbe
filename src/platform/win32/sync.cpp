// Events and sleeping on Win32: unnamed auto-reset event objects.
#include "platform/sync.h"

#include "platform/deadline.h"
#include "platform/win32/win32_handle.h"

namespace platform {

// The performance counter runs at a fixed frequency from boot (the tick
// count moves in 16 ms steps); split into seconds and remainder so that the
// product cannot overflow.
uint64_t MonotonicMicroseconds() {
  LARGE_INTEGER frequency, count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  const uint64_t f = static_cast<uint64_t>(frequency.QuadPart);
  const uint64_t c = static_cast<uint64_t>(count.QuadPart);
  return c / f * 1000000u + c % f * 1000000u / f;
}

using win32::FromHandle;
using win32::ToHandle;

// Auto-reset, initially non-signalled, no name: a signal wakes one waiter and
// is consumed by it. A failed creation leaves a null handle, which every wait
// reports as a failure rather than as a signal.
Event::Event() : native_(FromHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

Event::~Event() {
  if (native_ != 0) CloseHandle(ToHandle(native_));
}

bool Event::Valid() const { return native_ != 0; }

void Event::Set() {
  if (native_ != 0) SetEvent(ToHandle(native_));
}

void Event::Reset() {
  if (native_ != 0) ResetEvent(ToHandle(native_));
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  if (native_ == 0) return WaitResult::Failed;
  switch (WaitForSingleObject(ToHandle(native_), timeoutMs)) {
    case WAIT_OBJECT_0:
      return WaitResult::Signalled;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

int WaitAny(Event& first, Event& second, uint32_t timeoutMs) {
  if (!first.Valid() || !second.Valid()) return -2;
  const HANDLE handles[2] = {ToHandle(first.Native()), ToHandle(second.Native())};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
  if (result == WAIT_OBJECT_0) return 0;
  if (result == WAIT_OBJECT_0 + 1) return 1;
  if (result == WAIT_TIMEOUT) return -1;
  return -2;
}

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace platform
