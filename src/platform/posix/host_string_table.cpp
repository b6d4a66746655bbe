// Linux executables have no string-table resources: every lookup misses, so
// host texts are empty, as they are for a Windows host without the table.
#include "platform/host_string_table.h"

namespace platform {

std::optional<std::span<const uint8_t>> FindStringTableBlock(void*, uint16_t,
                                                             std::optional<uint16_t>) {
  return std::nullopt;
}

std::optional<uint16_t> HostApplicationLanguage() { return std::nullopt; }

}  // namespace platform
