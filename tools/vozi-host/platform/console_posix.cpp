#include "platform/console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace vozihost {
namespace {

// Written from a signal handler: must be lock-free.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) { g_stop.store(true, std::memory_order_relaxed); }

void Install(int signal) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: the library's reads and sleeps on other threads go on as if
  // nothing happened; the main loop sees the flag on its next pass.
  // SA_RESETHAND: the second signal takes the default action.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  sigaction(signal, &action, nullptr);
}

}  // namespace

void InstallStopHandler() {
  Install(SIGINT);
  Install(SIGTERM);
  // A simulator that dies must not take the host with it through a write to
  // a closed pipe.
  signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() { return g_stop.load(std::memory_order_relaxed); }
void RequestStop() { g_stop.store(true, std::memory_order_relaxed); }

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

}  // namespace vozihost
