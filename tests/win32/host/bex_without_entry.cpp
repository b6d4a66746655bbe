// A Bex.dll that loads but lacks DllGetClassObject: a broken or foreign
// library of that name beside the host.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" __declspec(dllexport) int BexVersion() { return 0; }
