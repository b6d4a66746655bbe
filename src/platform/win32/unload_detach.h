#pragma once
// Whether the module's own process detach for a FreeLibrary is running. That
// detach runs under the loader lock, and whatever needs another thread to
// start or to end (Wine serves a pending comm wait with a helper thread of
// its own) cannot complete before the detach has returned: waiting for it
// there only wastes the wait's whole bound.
namespace platform::win32 {

bool UnloadDetachRunning();

// Marks the detach for as long as it lives.
class UnloadDetach {
 public:
  UnloadDetach();
  ~UnloadDetach();
  UnloadDetach(const UnloadDetach&) = delete;
  UnloadDetach& operator=(const UnloadDetach&) = delete;
};

}  // namespace platform::win32
