// Files beside the host executable: the path of the executable of the process
// (GetModuleFileNameW with no module), split and rebuilt with the runtime's
// path functions, limited to MAX_PATH characters.
#include "platform/host_files.h"

#include <io.h>
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

std::optional<std::u16string> MachineWideHostFile(const std::u16string&) { return std::nullopt; }

std::optional<std::string> ReadSmallFile(const std::u16string& path, size_t maxBytes) {
  std::FILE* file = nullptr;
  if (_wfopen_s(&file, reinterpret_cast<const wchar_t*>(path.c_str()), L"rb") != 0 || !file) {
    return std::nullopt;
  }
  // Only a file on disk: a pipe or a character device (a path such as CON or
  // a COM port) could keep a read waiting for ever.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  const __int64 size = _filelengthi64(_fileno(file));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK || size < 0 ||
      static_cast<unsigned __int64>(size) > maxBytes) {
    std::fclose(file);
    return std::nullopt;
  }
  // At most one byte beyond the limit, in case the file grew after its size
  // was taken.
  std::string bytes(maxBytes + 1, '\0');
  const size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || read > maxBytes) return std::nullopt;
  bytes.resize(read);
  return bytes;
}

}  // namespace platform
