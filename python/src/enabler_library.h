#pragma once
// libvozi.so loaded at run time, the way any host loads an enabler: by path,
// then every one of the sixteen exports looked up by name. The library's
// calls must be made one at a time, also when several Python threads use
// several instruments; Lock() is that order.
#include <memory>
#include <mutex>
#include <string>

#include "vozi_enabler.h"

namespace vozipy {

class EnablerLibrary {
 public:
  // Loads the library and binds every export; throws std::runtime_error with
  // the loader's reason or the missing names.
  explicit EnablerLibrary(const std::string& path);
  // The library stays loaded until the process ends: its reader threads and
  // its exit-time clean-up must never find their code unmapped.
  ~EnablerLibrary() = default;
  EnablerLibrary(const EnablerLibrary&) = delete;
  EnablerLibrary& operator=(const EnablerLibrary&) = delete;

  const VoziEnablerExports& Api() const { return api_; }
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  VoziEnablerExports api_;
  std::mutex mutex_;
};

}  // namespace vozipy
