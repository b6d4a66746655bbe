#include "support/loaded_library.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

namespace wintest {

const char* const kExportNames[16] = {
    "GetDeviceClassInfo", "FindDevice",   "Initialise",   "CloseAll",
    "IsFailed",           "CanUseBaudRate", "SetBaudRate", "GetBaudRate",
    "ReadLine",           "ReadBuffer",   "WriteBuffer",  "ReadBuffSize",
    "FlushReadBuffer",    "GetUniqueID",  "DeviceCommand", "GetLastErrorMsg"};

namespace {

std::wstring BesideThisProgram(const wchar_t* fileName) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  folder.resize(folder.find_last_of(L"\\/") + 1);
  return folder + fileName;
}

// Unloads the library before COM goes away at the end of the run.
class UnloadAtEnd : public ::testing::Environment {
 public:
  void TearDown() override { LoadedLibrary::Get().Unload(); }
};
::testing::Environment* const kUnloadAtEnd = ::testing::AddGlobalTestEnvironment(new UnloadAtEnd);

}  // namespace

LoadedLibrary& LoadedLibrary::Get() {
  static LoadedLibrary* library = new LoadedLibrary;
  return *library;
}

LoadedLibrary::LoadedLibrary() : path_(BesideThisProgram(L"Vozi.kycdll")) {
  // The host's thread is a COM apartment with its services class registered
  // before any enabler is loaded.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  RegisterHostServices(&calls_);
  Load();
}

bool LoadedLibrary::Load() {
  const HMODULE module = LoadLibraryW(path_.c_str());
  module_ = module;
  if (module == nullptr) return false;
  Exports& e = exports_;
  e.BindAll([module](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); });
  return true;
}

void LoadedLibrary::Unload() {
  if (module_ != nullptr) FreeLibrary(static_cast<HMODULE>(module_));
  module_ = nullptr;
  exports_ = Exports{};
}

bool LoadedLibrary::Reload() {
  Unload();
  return Load();
}

}  // namespace wintest
