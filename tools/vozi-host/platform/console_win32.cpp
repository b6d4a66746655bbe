#include "platform/console.h"

#include <windows.h>
#include <io.h>

#include <atomic>

namespace vozihost {
namespace {

std::atomic<bool> g_stop{false};

// Runs on a thread the console creates. Returning FALSE for a second request
// lets the default handler end the process.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  return g_stop.exchange(true) ? FALSE : TRUE;
}

}  // namespace

void InstallStopHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool StopRequested() { return g_stop.load(std::memory_order_relaxed); }
void RequestStop() { g_stop.store(true, std::memory_order_relaxed); }
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace vozihost
