#pragma once
// Reading small files that a hostile or broken system may have replaced by
// something else. Opening a FIFO for reading waits for a writer, and opening a
// device may have effects of its own (a serial port raises its modem lines),
// so only regular files are opened, and never more is read than asked for.
#include <cstddef>
#include <optional>
#include <string>

namespace platform {

struct RegularFileBytes {
  std::string bytes;      // at most the limit
  bool truncated = false; // the file held more than the limit
};

// The first `limit` bytes of the regular file at path. nullopt when the path
// is missing, is not a regular file (a FIFO, a device, a folder), cannot be
// opened or a read fails. With followLastLink false a link as the last part
// of the path is refused as well. Never waits for another process.
std::optional<RegularFileBytes> ReadRegularFile(const std::string& path, size_t limit,
                                                bool followLastLink = true);

}  // namespace platform
