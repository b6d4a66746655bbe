#include "platform/win32/unload_detach.h"

#include <atomic>

namespace platform::win32 {
namespace {
std::atomic<bool> g_running{false};
}

bool UnloadDetachRunning() { return g_running.load(std::memory_order_acquire); }

UnloadDetach::UnloadDetach() { g_running.store(true, std::memory_order_release); }

UnloadDetach::~UnloadDetach() { g_running.store(false, std::memory_order_release); }

}  // namespace platform::win32
