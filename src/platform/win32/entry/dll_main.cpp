// The DLL entry point: process attach and detach; thread notifications are
// not needed. It always answers TRUE.
#include <windows.h>

#include "interface/exports_internal.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      vozi::OnProcessAttach(module);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer: the process is ending and the system has
      // already ended its other threads. Null: FreeLibrary, the process goes on.
      vozi::OnProcessDetach(reserved != nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
