// Threads on pthreads. The bounded join waits on an event the thread sets as
// it ends, then reaps it with pthread_join, which no longer blocks by then.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/sync.h"

namespace platform {

struct ThreadState {
  Thread::Entry entry = nullptr;
  void* argument = nullptr;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> ended{false};
  Event endedEvent;
  pthread_t handle{};
};

namespace {

void* Trampoline(void* raw) {
  auto* state = static_cast<ThreadState*>(raw);
  state->tid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_release);
  state->entry(state->argument);
  state->ended.store(true, std::memory_order_release);
  state->endedEvent.Set();
  return nullptr;
}

}  // namespace

Thread::~Thread() {
  auto* state = reinterpret_cast<ThreadState*>(native_);
  if (!state) return;
  if (started_ && !joined_) pthread_join(state->handle, nullptr);
  delete state;
}

bool Thread::Start(Entry entry, void* argument) {
  if (started_) return false;
  auto* state = new ThreadState;
  state->entry = entry;
  state->argument = argument;
  if (!state->endedEvent.Valid() || pthread_create(&state->handle, nullptr, Trampoline, state) != 0) {
    delete state;
    return false;
  }
  native_ = reinterpret_cast<intptr_t>(state);
  started_ = true;
  return true;
}

void Thread::RaisePriority() {
  auto* state = reinterpret_cast<ThreadState*>(native_);
  if (!state) return;
  // The thread records its id as its first act; give it a moment to do so.
  pid_t tid = 0;
  for (int i = 0; i < 100 && (tid = state->tid.load(std::memory_order_acquire)) == 0; ++i) SleepMs(1);
  if (tid == 0) return;
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice - 1);  // may be refused
}

bool Thread::Join(uint32_t timeoutMs) {
  auto* state = reinterpret_cast<ThreadState*>(native_);
  if (!started_ || joined_) return true;
  if (!state->ended.load(std::memory_order_acquire)) {
    state->endedEvent.Wait(timeoutMs);
    if (!state->ended.load(std::memory_order_acquire)) return false;
  }
  pthread_join(state->handle, nullptr);
  joined_ = true;
  return true;
}

uint64_t CurrentThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

}  // namespace platform
