#include "support/vozi_library.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <vector>

namespace testing_support {

namespace {
template <typename F>
void Resolve(void* handle, const char* name, F& target, std::string& error) {
  target = reinterpret_cast<F>(dlsym(handle, name));
  if (!target) error += std::string("missing export ") + name + "\n";
}
}  // namespace

VoziLibrary::VoziLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    error_ = dlerror();
    return;
  }
  Resolve(handle_, "GetDeviceClassInfo", GetDeviceClassInfo, error_);
  Resolve(handle_, "FindDevice", FindDevice, error_);
  Resolve(handle_, "Initialise", Initialise, error_);
  Resolve(handle_, "CloseAll", CloseAll, error_);
  Resolve(handle_, "IsFailed", IsFailed, error_);
  Resolve(handle_, "CanUseBaudRate", CanUseBaudRate, error_);
  Resolve(handle_, "SetBaudRate", SetBaudRate, error_);
  Resolve(handle_, "GetBaudRate", GetBaudRate, error_);
  Resolve(handle_, "ReadLine", ReadLine, error_);
  Resolve(handle_, "ReadBuffer", ReadBuffer, error_);
  Resolve(handle_, "WriteBuffer", WriteBuffer, error_);
  Resolve(handle_, "ReadBuffSize", ReadBuffSize, error_);
  Resolve(handle_, "FlushReadBuffer", FlushReadBuffer, error_);
  Resolve(handle_, "GetUniqueID", GetUniqueID, error_);
  Resolve(handle_, "DeviceCommand", DeviceCommand, error_);
  Resolve(handle_, "GetLastErrorMsg", GetLastErrorMsg, error_);
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
