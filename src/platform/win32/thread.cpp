// Threads on Win32: CreateThread with the default stack, a bounded join by
// waiting on the thread handle.
#include "platform/thread.h"

#include <memory>

#include "platform/win32/win32_handle.h"

namespace platform {

using win32::FromHandle;
using win32::ToHandle;

namespace {

// The seam's entry is a plain (cdecl) function; CreateThread wants a WINAPI
// (stdcall) one on 32-bit Windows, so a trampoline carries the two across.
struct StartBlock {
  Thread::Entry entry;
  void* argument;
};

DWORD WINAPI Trampoline(LPVOID parameter) {
  std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(parameter));
  return block->entry(block->argument);
}

}  // namespace

Thread::~Thread() {
  if (!started_) return;
  if (!joined_) WaitForSingleObject(ToHandle(native_), INFINITE);
  CloseHandle(ToHandle(native_));
}

bool Thread::Start(Entry entry, void* argument) {
  if (started_ || entry == nullptr) return false;
  auto block = std::make_unique<StartBlock>(StartBlock{entry, argument});
  const HANDLE handle = CreateThread(nullptr, 0, Trampoline, block.get(), 0, nullptr);
  if (handle == nullptr) return false;
  block.release();  // the thread owns it now
  native_ = FromHandle(handle);
  started_ = true;
  joined_ = false;
  return true;
}

void Thread::RaisePriority() {
  if (started_) SetThreadPriority(ToHandle(native_), THREAD_PRIORITY_ABOVE_NORMAL);
}

bool Thread::Join(uint32_t timeoutMs) {
  if (!started_ || joined_) return true;
  if (WaitForSingleObject(ToHandle(native_), timeoutMs) != WAIT_OBJECT_0) return false;
  joined_ = true;
  return true;
}

uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
