#pragma once
// The enabler is loaded at run time, as the host application loads it: by
// path, then every export looked up by its plain name. This and the console
// and simulator files are the only parts of vozi-host that differ between
// Linux and Windows.
#include <filesystem>
#include <memory>
#include <string>

namespace vozihost {

// Any function; callers cast it to the export's real type.
using GenericFunction = void (*)();

class SharedLibrary {
 public:
  // Null with the system's reason in *error when the file cannot be loaded.
  static std::unique_ptr<SharedLibrary> Open(const std::filesystem::path& path, std::string* error);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // Null when the library has no export of that name.
  GenericFunction Symbol(const char* name) const;

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

// Folder of the running executable; empty when the system cannot tell.
std::filesystem::path ExecutableDirectory();

// Asks the enabler loaded after this call to trace its conversation with the
// instruments into `file` (it reads VOZI_TRACE from the environment as it
// loads).
void SetLibraryTraceFile(const std::filesystem::path& file);

// The enabler's file name on this system: "libvozi.so" or "Vozi.kycdll".
const char* LibraryFileName();

}  // namespace vozihost
