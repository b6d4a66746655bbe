#pragma once
// Vozi.kycdll loaded the way the host loads it: COM initialised on the host
// thread, the host's services class registered, then LoadLibraryW on the file
// beside the host executable and GetProcAddress for each export by its plain
// name.
#include <string>

#include "support/host_services_double.h"
#include "vozi_enabler.h"

namespace wintest {

struct Exports : VoziEnablerExports {};

// The sixteen names, in the order the host's documentation lists them.
extern const char* const kExportNames[16];

class LoadedLibrary {
 public:
  // Loads the library (once per process; later calls return the same).
  static LoadedLibrary& Get();

  bool Loaded() const { return module_ != nullptr; }
  void* Module() const { return module_; }
  const std::wstring& Path() const { return path_; }
  const Exports& Fn() const { return exports_; }
  HostServicesCalls& Calls() { return calls_; }
  // Unloads and loads again (process detach, then attach).
  bool Reload();
  void Unload();

 private:
  LoadedLibrary();
  bool Load();

  std::wstring path_;
  void* module_ = nullptr;
  Exports exports_;
  HostServicesCalls calls_;
};

}  // namespace wintest
