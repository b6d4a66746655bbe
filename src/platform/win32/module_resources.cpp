// The library's own resources on Win32: RCDATA control lists through the
// resource functions, and the version block through the version API on the
// module's own file.
#include "platform/module_resources.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/win32/win32_handle.h"

namespace platform {

namespace {

// Set at process attach, cleared at process detach; read by any thread.
std::atomic<void*> g_ownModule{nullptr};

HMODULE Own() { return static_cast<HMODULE>(g_ownModule.load(std::memory_order_acquire)); }

// A string of the version block, or nothing when the key is absent.
std::optional<std::u16string> VersionString(const std::vector<uint8_t>& block,
                                            const wchar_t* subBlock, const wchar_t* key) {
  std::wstring query = std::wstring(subBlock) + key;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), query.c_str(), &value, &length) || value == nullptr) {
    return std::nullopt;
  }
  // length counts characters, possibly including the terminator.
  const wchar_t* text = static_cast<const wchar_t*>(value);
  const size_t chars = wcsnlen(text, length);
  return std::u16string(reinterpret_cast<const char16_t*>(text), chars);
}

}  // namespace

void SetOwnModule(void* module) { g_ownModule.store(module, std::memory_order_release); }

void* OwnModule() { return g_ownModule.load(std::memory_order_acquire); }

std::optional<std::string> LoadOwnRcData(int id) {
  const HMODULE module = Own();
  if (module == nullptr) return std::nullopt;
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) return std::nullopt;
  const DWORD size = SizeofResource(module, found);
  const HGLOBAL loaded = LoadResource(module, found);
  const void* locked = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (size == 0 || locked == nullptr) {
    if (loaded != nullptr) FreeResource(loaded);
    return std::nullopt;
  }
  // The lists are text: a zero byte, should one ever be stored, ends them.
  const char* bytes = static_cast<const char*>(locked);
  const size_t length = strnlen(bytes, size);
  std::string text(bytes, length);
  FreeResource(loaded);
  return text;
}

OwnVersionInfo ReadOwnVersionInfo() {
  OwnVersionInfo info;
  const HMODULE module = Own();
  if (module == nullptr) return info;
  const std::wstring path = win32::ModuleFileName(module);
  if (path.empty()) return info;

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return info;
  std::vector<uint8_t> block(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return info;

  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return info;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != 0xFEEF04BD) return info;
  info.found = true;
  info.fixedFileVersion[0] = HIWORD(fixed->dwFileVersionMS);
  info.fixedFileVersion[1] = LOWORD(fixed->dwFileVersionMS);
  info.fixedFileVersion[2] = HIWORD(fixed->dwFileVersionLS);
  info.fixedFileVersion[3] = LOWORD(fixed->dwFileVersionLS);

  // The strings of the first translation (language index 0).
  struct Translation {
    WORD language;
    WORD codePage;
  };
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) ||
      value == nullptr || length < sizeof(Translation)) {
    return info;
  }
  const auto* first = static_cast<const Translation*>(value);
  wchar_t subBlock[64];
  swprintf(subBlock, 64, L"\\StringFileInfo\\%04x%04x\\", first->language, first->codePage);
  info.fileVersion = VersionString(block, subBlock, L"FileVersion");
  info.fileDescription = VersionString(block, subBlock, L"FileDescription");
  return info;
}

}  // namespace platform
