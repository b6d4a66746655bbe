#pragma once
// Files the host installs beside its executable.
#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// Full path of "<folder of the host executable>/<relative>", where relative
// uses '\' or '/' between folder names. nullopt when the executable's path
// cannot be had.
std::optional<std::u16string> PathBesideHostExecutable(const std::u16string& relative);

// The machine's own copy of a host file, for hosts that have no folder of
// their own to put it in (an interpreter such as /usr/bin/python3, a user's
// program): "/etc/vozi/<name>" on Linux, where the package installs it as a
// configuration file. nullopt on Windows, where the file belongs beside the
// host executable alone.
std::optional<std::u16string> MachineWideHostFile(const std::u16string& name);

// The whole content of a small file the host installed. nullopt, as for a
// missing file, when the path is not a regular file (a FIFO or a device would
// make the read wait, or never end), when it cannot be opened or read, or when
// it holds more than maxBytes: such a file is not one we installed, and
// reading it whole would only cost time and memory.
std::optional<std::string> ReadSmallFile(const std::u16string& path, size_t maxBytes);

}  // namespace platform
