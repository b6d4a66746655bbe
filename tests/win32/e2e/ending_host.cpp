// A host that ends without CloseAll while its instrument streams, run as a
// child process by the WineEnding suite:
//
//   vozi_win32_ending_host.exe free-library RESULT_FILE
//     FreeLibrary on Vozi.kycdll, timed; the milliseconds go to RESULT_FILE.
//     The process then goes on for two seconds (a reader thread still in the
//     unmapped code would crash it meanwhile) and returns 0.
//   vozi_win32_ending_host.exe exit-process
//     ExitProcess(7) with the device streaming.
//
// A step that does not go as a host expects ends the process with 90 and up.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/host_services_double.h"
#include "support/serial_peer.h"
#include "vozi_enabler.h"

namespace {

std::wstring BesideThisProgram(const wchar_t* fileName) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + fileName;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 90;
  const std::string mode = argv[1];

  // As the host does it: COM on this thread and its services class
  // registered before any enabler is loaded.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  static wintest::HostServicesCalls calls;
  if (!wintest::RegisterHostServices(&calls)) return 91;
  const HMODULE library = LoadLibraryW(BesideThisProgram(L"Vozi.kycdll").c_str());
  if (library == nullptr) return 92;
  VoziEnablerExports fn;
  if (!fn.BindAll([library](const char* name) {
         return reinterpret_cast<void*>(GetProcAddress(library, name));
       }).empty()) {
    return 93;
  }

  int32_t index = -1;
  if (fn.FindDevice(&index) != 1 || index != 0) return 94;
  if (fn.Initialise(index) != 1) return 95;
  CommandRecord record{};
  record.argument = 5;
  if (fn.DeviceCommand(index, VOZI_ENABLE_CHANNEL, &record) != 1) return 96;
  if (fn.DeviceCommand(index, VOZI_START_STREAM, &record) != 1) return 96;
  char line[64];
  for (int n = 0; n < 5; ++n) {
    if (fn.ReadLine(index, line, sizeof line, 2000) != 1) return 97;
  }

  if (mode == "exit-process") ExitProcess(7);
  if (mode != "free-library" || argc < 3) return 90;
  const uint64_t start = wintest::NowMs();
  FreeLibrary(library);
  const uint64_t took = wintest::NowMs() - start;
  if (FILE* result = std::fopen(argv[2], "w")) {
    std::fprintf(result, "%llu\n", static_cast<unsigned long long>(took));
    std::fclose(result);
  }
  Sleep(2000);
  return 0;
}
