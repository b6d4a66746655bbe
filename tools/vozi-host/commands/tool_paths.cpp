#include "commands/tool_paths.h"

#include <system_error>

#include "platform/library_loader.h"

namespace vozihost {

std::vector<std::filesystem::path> LibraryCandidates(const std::filesystem::path& exeDir) {
  const char* name = LibraryFileName();
  return {exeDir / name, exeDir / ".." / "lib" / name, exeDir / ".." / ".." / name};
}

std::vector<std::filesystem::path> SimulatorCandidates(const std::filesystem::path& exeDir) {
  return {exeDir / "vozi-sim", exeDir / ".." / "vozi-sim" / "vozi-sim"};
}

std::vector<std::filesystem::path> WebPageCandidates(const std::filesystem::path& exeDir) {
  const std::filesystem::path page = std::filesystem::path("web") / "index.html";
  return {exeDir / ".." / ".." / "share" / "vozi" / page, exeDir / ".." / "share" / "vozi" / page,
          exeDir / ".." / ".." / page};
}

std::filesystem::path FirstExisting(const std::vector<std::filesystem::path>& candidates) {
  for (const auto& c : candidates) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(c, ec)) return c.lexically_normal();
  }
  return candidates.empty() ? std::filesystem::path() : candidates.front().lexically_normal();
}

std::filesystem::path PerDevicePath(const std::filesystem::path& path, int32_t index, bool several) {
  if (!several || path.empty()) return path;
  std::filesystem::path named = path;
  named.replace_filename(path.stem().string() + "-" + std::to_string(index) +
                         path.extension().string());
  return named;
}

}  // namespace vozihost
