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

__attribute__((destructor)) void LibraryUnloaded() { vozi::OnProcessDetach(); }

}  // namespace
