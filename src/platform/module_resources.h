#pragma once
// The library's own resources: the RCDATA control lists and the version
// strings. On Windows they come from the module's resource section; the Linux
// library carries the same bytes, generated from the same files at build time.
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// Bytes of RCDATA resource `id` of this library, up to its size or its first
// zero byte; nullopt when the resource is missing or empty.
std::optional<std::string> LoadOwnRcData(int id);

struct OwnVersionInfo {
  bool found = false;
  uint16_t fixedFileVersion[4] = {0, 0, 0, 0};
  std::optional<std::u16string> fileVersion;      // "FileVersion", language index 0
  std::optional<std::u16string> fileDescription;  // "FileDescription", language index 0
};
OwnVersionInfo ReadOwnVersionInfo();

// The library's module handle, recorded by the library entry point.
void SetOwnModule(void* module);
void* OwnModule();

namespace embedded {
struct RcDataEntry {
  int id;
  const unsigned char* data;
  int size;
};
extern const RcDataEntry kRcData[];
extern const int kRcDataCount;
extern const char16_t kFileVersion[];
extern const char16_t kFileDescription[];
extern const unsigned short kFixedFileVersion[4];
}  // namespace embedded

}  // namespace platform
