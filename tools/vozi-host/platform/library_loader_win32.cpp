#include "platform/library_loader.h"

#include <windows.h>

#include <vector>

namespace vozihost {
namespace {

std::string SystemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n ? std::string(text, n) : "error " + std::to_string(code);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

}  // namespace

std::unique_ptr<SharedLibrary> SharedLibrary::Open(const std::filesystem::path& path,
                                                   std::string* error) {
  // A full path: the enabler's ".kycdll" extension keeps LoadLibraryW from
  // appending ".dll", and no search path is consulted.
  HMODULE module = LoadLibraryW(std::filesystem::absolute(path).c_str());
  if (!module) {
    if (error) *error = SystemMessage(GetLastError());
    return nullptr;
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(module));
}

SharedLibrary::~SharedLibrary() { FreeLibrary(static_cast<HMODULE>(handle_)); }

GenericFunction SharedLibrary::Symbol(const char* name) const {
  return reinterpret_cast<GenericFunction>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::filesystem::path ExecutableDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    if (n < buffer.size()) return std::filesystem::path(std::wstring(buffer.data(), n)).parent_path();
    buffer.resize(buffer.size() * 2);  // the path was cut short
  }
}

// The process's environment block, where the enabler's GetEnvironmentVariableW
// looks (the C run-time's copy is not enough), with the name in UTF-16.
void SetLibraryTraceFile(const std::filesystem::path& file) { SetEnvironmentVariableW(L"VOZI_TRACE", file.c_str()); }

const char* LibraryFileName() { return "Vozi.kycdll"; }

}  // namespace vozihost
