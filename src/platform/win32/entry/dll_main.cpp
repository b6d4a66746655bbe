// The DLL entry point: process attach and detach; thread notifications are
// not needed. It always answers TRUE.
#include <windows.h>

#include "interface/exports_internal.h"
#include "platform/win32/unload_detach.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      vozi::OnProcessAttach(module);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer: the process is ending and the system has
      // already ended its other threads. Null: FreeLibrary, the process goes
      // on, and this thread holds the loader lock while the detach runs.
      if (reserved != nullptr) {
        vozi::OnProcessDetach(true);
      } else {
        const platform::win32::UnloadDetach unloading;
        vozi::OnProcessDetach(false);
      }
      break;
    default:
      break;
  }
  return TRUE;
}
