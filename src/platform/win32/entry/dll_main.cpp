// The DLL entry point: process attach and detach; thread notifications are
// not needed. It always answers TRUE.
#include <windows.h>

#include "interface/exports_internal.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      vozi::OnProcessAttach(module);
      break;
    case DLL_PROCESS_DETACH:
      vozi::OnProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
