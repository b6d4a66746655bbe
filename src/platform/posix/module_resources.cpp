// The Linux library has no resource section: the control lists and version
// strings are compiled in from the same files the Windows resources use.
#include "platform/module_resources.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<void*> ownModule{nullptr};
}

void SetOwnModule(void* module) { ownModule.store(module); }
void* OwnModule() { return ownModule.load(); }

std::optional<std::string> LoadOwnRcData(int id) {
  for (int i = 0; i < embedded::kRcDataCount; ++i) {
    const auto& entry = embedded::kRcData[i];
    if (entry.id != id) continue;
    if (entry.size <= 0) return std::nullopt;
    const char* bytes = reinterpret_cast<const char*>(entry.data);
    size_t length = 0;
    while (length < static_cast<size_t>(entry.size) && bytes[length] != '\0') ++length;
    return std::string(bytes, length);
  }
  return std::nullopt;
}

OwnVersionInfo ReadOwnVersionInfo() {
  OwnVersionInfo info;
  info.found = true;
  for (int i = 0; i < 4; ++i) info.fixedFileVersion[i] = embedded::kFixedFileVersion[i];
  info.fileVersion = std::u16string(embedded::kFileVersion);
  info.fileDescription = std::u16string(embedded::kFileDescription);
  return info;
}

}  // namespace platform
