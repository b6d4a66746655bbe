#include "support/vozi_library.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <vector>

namespace testing_support {

VoziLibrary::VoziLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    error_ = dlerror();
    return;
  }
  const std::string missing = BindAll([this](const char* name) { return dlsym(handle_, name); });
  if (!missing.empty()) error_ = "missing exports: " + missing;
}

VoziLibrary::~VoziLibrary() {
  if (handle_) dlclose(handle_);
}

std::string VoziLibrary::LastErrorMessage(int32_t index, int32_t* length) {
  const int32_t size = GetLastErrorMsg(index, nullptr);
  if (length) *length = size;
  if (size <= 0) return "<none>";
  std::vector<char> buffer(static_cast<size_t>(size) + 16, '#');
  EXPECT_EQ(GetLastErrorMsg(index, buffer.data()), size);
  return std::string(buffer.data());
}

}  // namespace testing_support
