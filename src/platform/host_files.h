#pragma once
// Files the host installs beside its executable.
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

// Full path of "<folder of the host executable>/<relative>", where relative
// uses '\' or '/' between folder names. nullopt when the executable's path
// cannot be had.
std::optional<std::u16string> PathBesideHostExecutable(const std::u16string& relative);

// Opens a file for binary reading; null when it cannot be opened.
std::FILE* OpenForReading(const std::u16string& path);

}  // namespace platform
