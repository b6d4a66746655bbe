#include "enabler_library.h"

#include <dlfcn.h>

#include <stdexcept>

namespace vozipy {

EnablerLibrary::EnablerLibrary(const std::string& path) : path_(path) {
  // RTLD_NOW: an unresolved symbol fails here, with the loader's reason,
  // rather than in the middle of an acquisition.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    throw std::runtime_error("cannot load " + path + ": " + (reason ? reason : "unknown reason"));
  }
  const std::string missing = api_.BindAll([handle](const char* name) { return dlsym(handle, name); });
  if (!missing.empty()) {
    dlclose(handle);
    throw std::runtime_error(path + " lacks the exports " + missing);
  }
}

}  // namespace vozipy
