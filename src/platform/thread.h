#pragma once
// A joinable thread with a bounded join, as the reader thread needs it.
#include <cstdint>

namespace platform {

class Thread {
 public:
  using Entry = uint32_t (*)(void* argument);

  Thread() = default;
  ~Thread();  // joins without bound if the thread was never joined
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread with the default stack size. False when it cannot start.
  bool Start(Entry entry, void* argument);
  // Raises the thread above normal priority where the system allows it; a
  // refusal (an unprivileged process on Linux) is not an error.
  void RaisePriority();
  // True once the thread has ended, waiting at most timeoutMs for that.
  // On Windows "ended" means: done with this module's code for good; the
  // system may still be finishing the thread's exit.
  bool Join(uint32_t timeoutMs);
  bool Started() const { return started_; }

 private:
  intptr_t native_ = 0;
  bool started_ = false;
  bool joined_ = false;
};

// Thread id of the caller, for tests that look for threads left running.
uint64_t CurrentThreadId();

}  // namespace platform
