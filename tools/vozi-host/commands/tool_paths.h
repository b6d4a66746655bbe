#pragma once
// Where vozi-host finds its companions, and how it names per-device output.
#include <cstdint>
#include <filesystem>
#include <vector>

namespace vozihost {

// Places to look for the enabler, best first: beside the executable (as the
// host application keeps its enablers), the lib/ folder of an installation
// (bin/../lib), and the top of a build tree (build/<preset>/ holds the
// library, build/<preset>/tools/vozi-host/ the tool).
std::vector<std::filesystem::path> LibraryCandidates(const std::filesystem::path& exeDir);
// vozi-sim beside the executable, or in the build tree's tools/vozi-sim/.
std::vector<std::filesystem::path> SimulatorCandidates(const std::filesystem::path& exeDir);
// The monitor page's index.html: the installed page (/usr/share/vozi/web
// for /usr/lib/vozi/vozi-host, share/vozi/web beside an installation's bin/),
// or the build tree's web/ (build/<preset>/web).
std::vector<std::filesystem::path> WebPageCandidates(const std::filesystem::path& exeDir);
// The first candidate that exists; the first candidate when none does (so
// that the error names the place looked at first).
std::filesystem::path FirstExisting(const std::vector<std::filesystem::path>& candidates);

// The output file of one device. With one device the path is used as given;
// with several each device gets its index before the extension:
// samples.csv -> samples-0.csv, samples-1.csv.
std::filesystem::path PerDevicePath(const std::filesystem::path& path, int32_t index, bool several);

}  // namespace vozihost
