#include "platform/console.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vozihost {
namespace {

using Clock = std::chrono::steady_clock;

// timeout(1) signals the process and then its group: one signal arrives
// twice from the same sender within microseconds. A second Ctrl-C comes from
// the terminal (the kernel), or from another sender, and counts however soon.
constexpr auto kSameSignal = std::chrono::milliseconds(500);

bool SameSender(const siginfo_t& a, const siginfo_t& b) {
  return a.si_signo == b.si_signo && a.si_code == SI_USER && b.si_code == SI_USER && a.si_pid == b.si_pid;
}

std::atomic<bool> g_stop{false};
std::mutex g_cleanupMutex;
std::vector<std::pair<const void*, std::function<void()>>> g_cleanups;

void Say(const char* text) {
  // Raw write: the main thread may hold stdio's locks.
  const ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

// Signals are taken synchronously here rather than in a handler: this thread
// can print, run the clean-up and end the process whatever the main thread
// is waiting for inside the library.
void SignalThread(sigset_t signals) {
  siginfo_t first{};
  Clock::time_point firstAt{};
  for (;;) {
    siginfo_t info{};
    if (sigwaitinfo(&signals, &info) < 0) continue;
    const Clock::time_point now = Clock::now();
    if (!g_stop.exchange(true)) {
      first = info;
      firstAt = now;
      Say("\nvozi-host: stopping; Ctrl-C again to end at once\n");
      continue;
    }
    if (SameSender(first, info) && now - firstAt < kSameSignal) continue;
    Say("vozi-host: ending at once\n");
    {
      std::lock_guard<std::mutex> lock(g_cleanupMutex);
      for (auto it = g_cleanups.rbegin(); it != g_cleanups.rend(); ++it) it->second();
    }
    _exit(130);
  }
}

}  // namespace

void InstallStopHandler() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Blocked before any other thread exists, so every thread (the library's
  // readers included) inherits the mask and only the signal thread takes them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread(SignalThread, signals).detach();
  // A simulator that dies must not take the host with it through a write to
  // a closed pipe.
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stop.load(std::memory_order_relaxed); }
void RequestStop() { g_stop.store(true, std::memory_order_relaxed); }

void SetForcedExitCleanup(const void* owner, std::function<void()> cleanup) {
  std::lock_guard<std::mutex> lock(g_cleanupMutex);
  std::erase_if(g_cleanups, [owner](const auto& c) { return c.first == owner; });
  if (cleanup) g_cleanups.emplace_back(owner, std::move(cleanup));
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

}  // namespace vozihost
