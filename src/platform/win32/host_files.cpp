// Files beside the host executable: the path of the executable of the process
// (GetModuleFileNameW with no module), split and rebuilt with the runtime's
// path functions, limited to MAX_PATH characters.
#include "platform/host_files.h"

#include <stdlib.h>
#include <windows.h>

#include <cstdio>

namespace platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");

std::optional<std::u16string> PathBesideHostExecutable(const std::u16string& relative) {
  wchar_t module[MAX_PATH];
  if (GetModuleFileNameW(nullptr, module, MAX_PATH) == 0) return std::nullopt;
  wchar_t drive[3], folder[256], name[256], extension[256];
  if (_wsplitpath_s(module, drive, 3, folder, 256, name, 256, extension, 256) != 0) return std::nullopt;
  wchar_t full[MAX_PATH];
  if (_wmakepath_s(full, MAX_PATH, drive, folder, reinterpret_cast<const wchar_t*>(relative.c_str()), nullptr) != 0) {
    return std::nullopt;
  }
  return std::u16string(reinterpret_cast<const char16_t*>(full));
}

std::FILE* OpenForReading(const std::u16string& path) {
  std::FILE* file = nullptr;
  if (_wfopen_s(&file, reinterpret_cast<const wchar_t*>(path.c_str()), L"rb") != 0) return nullptr;
  return file;
}

}  // namespace platform
