#include "platform/library_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace vozihost {

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::filesystem::path& path,
                                                   std::string* error) {
  // RTLD_NOW: a library with an unresolved symbol fails here, with dlerror's
  // reason, rather than in the middle of an acquisition.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = dlerror();
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() { dlclose(handle_); }

GenericFunction SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<GenericFunction>(dlsym(handle_, name));
}

std::filesystem::path ExecutableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::filesystem::path(std::string(buffer, static_cast<size_t>(n))).parent_path();
}

void SetLibraryTraceFile(const std::filesystem::path& file) { setenv("VOZI_TRACE", file.c_str(), 1); }

const char* LibraryFileName() { return "libvozi.so"; }

}  // namespace vozihost
