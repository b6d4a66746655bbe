#include "platform/console.h"

#include <windows.h>
#include <io.h>

#include <atomic>

namespace vozihost {
namespace {

std::atomic<bool> g_stop{false};

// Runs on a thread the console creates. The first request is taken; a second
// one, however soon, returns FALSE and lets the default handler end the
// process. (The console delivers each Ctrl-C once to each process attached,
// also when it is sent to a process group.)
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (g_stop.exchange(true)) return FALSE;
  static const char text[] = "\nvozi-host: stopping; Ctrl-C again to end at once\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, sizeof text - 1, &written, nullptr);
  return TRUE;
}

}  // namespace

void InstallStopHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool StopRequested() { return g_stop.load(std::memory_order_relaxed); }
void RequestStop() { g_stop.store(true, std::memory_order_relaxed); }
void SetForcedExitCleanup(const void*, std::function<void()>) {}
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace vozihost
