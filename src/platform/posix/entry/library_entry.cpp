// Linux has no DllMain: constructor and destructor functions of the shared
// library play its process attach and detach.
#include <dlfcn.h>

#include "interface/exports_internal.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&LibraryLoaded), &info);
  vozi::OnProcessAttach(info.dli_fbase);
}

// Runs at dlclose and at exit alike. Either way the process's other threads,
// the readers among them, still run (exit ends them only afterwards), so the
// full clean-up is the right one for both. At exit it runs after the C++
// run-time has destroyed the statics of every library: what it uses is
// therefore never destroyed by the run-time (the device table, the discovery
// state), only emptied here.
__attribute__((destructor)) void LibraryUnloaded() { vozi::OnProcessDetach(false); }

}  // namespace
