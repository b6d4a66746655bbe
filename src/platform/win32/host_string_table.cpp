// String-table blocks from a module's resources (RT_STRING). Resource data
// of a loaded module is mapped with it, so the bytes need no copy.
#include "platform/host_string_table.h"

#include <windows.h>

namespace platform {
namespace {

// RT_STRING spelt for the wide resource calls, whatever UNICODE says.
const wchar_t* const kStringTableType = MAKEINTRESOURCEW(6);

}  // namespace

std::optional<std::span<const uint8_t>> FindStringTableBlock(void* module, uint16_t block,
                                                             std::optional<uint16_t> language) {
  auto* instance = static_cast<HMODULE>(module);
  HRSRC found = language
                    ? ::FindResourceExW(instance, kStringTableType, MAKEINTRESOURCEW(block), *language)
                    : ::FindResourceW(instance, MAKEINTRESOURCEW(block), kStringTableType);
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(instance, found);
  if (loaded == nullptr) return std::nullopt;
  const void* data = ::LockResource(loaded);
  const DWORD size = ::SizeofResource(instance, found);
  if (data == nullptr) return std::nullopt;
  return std::span<const uint8_t>(static_cast<const uint8_t*>(data), size);
}

// The host's framework application object (OWLNext's application dictionary)
// is not bound by this library, so host texts come from the default-language
// table.
std::optional<uint16_t> HostApplicationLanguage() { return std::nullopt; }

}  // namespace platform
