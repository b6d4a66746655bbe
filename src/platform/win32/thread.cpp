// Threads on Win32: CreateThread with the default stack, and a bounded join
// that waits for the thread to be done with this module's code.
//
// Why not wait on the thread handle: a thread that ends takes the loader lock
// to tell every loaded module so (thread detach). The library's own detach
// runs under that lock when the host calls FreeLibrary, and it must end the
// reader threads before it frees what they use; waiting there for a thread
// handle would wait for ever. So the thread signals an event of its own once
// it has left the entry function, and then goes straight on into ExitThread.
//
// The signal must also be the last thing this module's code does on that
// thread: as soon as the waiter sees it, FreeLibrary may unmap the module,
// and a thread still on its way back through a few instructions of ours would
// then run into unmapped memory. So the thread does not call SetEvent and
// return; it jumps into SetEvent with ExitThread as the return address. From
// the jump on, only system code runs: SetEvent wakes the waiter and returns
// into ExitThread, which waits for the loader lock if detach still holds it
// and finishes once FreeLibrary is done.
#include "platform/thread.h"

#include "platform/win32/win32_handle.h"

#if !defined(__i386__)
#error "The reader thread's exit path is written for 32-bit x86"
#endif

namespace platform {

using win32::FromHandle;
using win32::ToHandle;

// Arguments: the event to set, SetEvent, ExitThread (all read off the caller's
// stack before anything is pushed). Builds the frame SetEvent (stdcall, one
// argument) expects, with ExitThread as its return address, and under that
// the frame ExitThread expects: an unused return address and exit code 0.
extern "C" [[noreturn]] void vozi_SignalAndExitThread(HANDLE event, FARPROC setEvent, FARPROC exitThread);
asm(R"(
  .text
  .globl _vozi_SignalAndExitThread
  .def _vozi_SignalAndExitThread; .scl 2; .type 32; .endef
_vozi_SignalAndExitThread:
  movl 4(%esp), %ecx
  movl 8(%esp), %edx
  movl 12(%esp), %eax
  pushl $0
  pushl $0
  pushl %ecx
  pushl %eax
  jmp *%edx
)");

namespace {

// Owned by the Thread object, which outlives the thread's use of it.
struct ThreadState {
  Thread::Entry entry = nullptr;
  void* argument = nullptr;
  HANDLE thread = nullptr;
  HANDLE done = nullptr;  // manual reset: every later look sees it
  FARPROC setEvent = nullptr;
  FARPROC exitThread = nullptr;
};

ThreadState* StateOf(intptr_t native) { return reinterpret_cast<ThreadState*>(native); }

// Kept out of line, so that everything the entry left on the stack is gone
// when it returns.
__attribute__((noinline)) void RunEntry(const ThreadState& state) { state.entry(state.argument); }

// The seam's entry is a plain (cdecl) function; CreateThread wants a WINAPI
// (stdcall) one on 32-bit Windows, so a trampoline carries the two across.
DWORD WINAPI Trampoline(LPVOID parameter) {
  const ThreadState& state = *static_cast<ThreadState*>(parameter);
  RunEntry(state);
  if (state.setEvent == nullptr || state.exitThread == nullptr) {
    SetEvent(state.done);
    return 0;
  }
  vozi_SignalAndExitThread(state.done, state.setEvent, state.exitThread);
}

void Release(ThreadState* state) {
  if (state->thread != nullptr) CloseHandle(state->thread);
  if (state->done != nullptr) CloseHandle(state->done);
  delete state;
}

}  // namespace

Thread::~Thread() {
  ThreadState* state = StateOf(native_);
  if (state == nullptr) return;
  if (started_ && !joined_) WaitForSingleObject(state->done, INFINITE);
  Release(state);
}

bool Thread::Start(Entry entry, void* argument) {
  if (started_ || entry == nullptr) return false;
  auto* state = new ThreadState;
  state->entry = entry;
  state->argument = argument;
  // The system's own SetEvent and ExitThread, not the import stubs a linker
  // may place in this module.
  if (const HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
    state->setEvent = GetProcAddress(kernel, "SetEvent");
    state->exitThread = GetProcAddress(kernel, "ExitThread");
  }
  state->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state->done != nullptr) state->thread = CreateThread(nullptr, 0, Trampoline, state, 0, nullptr);
  if (state->thread == nullptr) {
    Release(state);
    return false;
  }
  native_ = reinterpret_cast<intptr_t>(state);
  started_ = true;
  joined_ = false;
  return true;
}

void Thread::RaisePriority() {
  if (started_) SetThreadPriority(StateOf(native_)->thread, THREAD_PRIORITY_ABOVE_NORMAL);
}

bool Thread::Join(uint32_t timeoutMs) {
  if (!started_ || joined_) return true;
  if (WaitForSingleObject(StateOf(native_)->done, timeoutMs) != WAIT_OBJECT_0) return false;
  joined_ = true;
  return true;
}

uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace platform
