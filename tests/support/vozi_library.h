#pragma once
// libvozi.so loaded with dlopen and its sixteen exports resolved by name, as
// a host does it.
#include <string>

#include "vozi_enabler.h"

namespace testing_support {

class VoziLibrary : public VoziEnablerExports {
 public:
  explicit VoziLibrary(const std::string& path);
  ~VoziLibrary();
  VoziLibrary(const VoziLibrary&) = delete;
  VoziLibrary& operator=(const VoziLibrary&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }


  // GetLastErrorMsg as a host calls it: size first, then the text.
  std::string LastErrorMessage(int32_t index, int32_t* length = nullptr);

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace testing_support
