#include "output_files.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "tool_paths.h"

namespace vozihost {
namespace {

namespace fs = std::filesystem;

bool MakeFolders(const fs::path& path, std::string* error) {
  if (!path.has_parent_path()) return true;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (!ec) return true;
  *error = "cannot make the folder " + path.parent_path().string() + ": " + ec.message();
  return false;
}

// Opens without truncating, so a file that exists keeps its contents until
// the recording really begins; a new one is removed again.
bool ProbeWritable(const fs::path& path, std::string* error) {
  if (!MakeFolders(path, error)) return false;
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  std::FILE* f = std::fopen(path.string().c_str(), "ab");
  if (!f) {
    *error = "cannot write " + path.string() + ": " + SystemReason();
    return false;
  }
  std::fclose(f);
  if (!existed) fs::remove(path, ec);
  return true;
}

fs::path Identity(const fs::path& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? path : p;
}

}  // namespace

bool IsStdout(const fs::path& path) { return path == "-"; }

std::string SystemReason() { return std::strerror(errno); }

std::optional<std::vector<DeviceOutputs>> PlanOutputs(const OutputRequest& request,
                                                      const std::vector<int32_t>& devices,
                                                      std::string* error, bool* usage) {
  *usage = true;
  const bool several = devices.size() > 1;
  if (IsStdout(request.csv) && several) {
    *error = "--csv - writes one instrument to standard output; choose one with --device";
    return std::nullopt;
  }
  if (IsStdout(request.plot) || IsStdout(request.edf)) {
    *error = "only --csv can write to standard output (-)";
    return std::nullopt;
  }
  std::vector<DeviceOutputs> plan;
  struct Named {
    fs::path path;
    std::string option;
  };
  std::vector<Named> all;
  for (int32_t index : devices) {
    DeviceOutputs d;
    d.index = index;
    d.csv = IsStdout(request.csv) ? request.csv : PerDevicePath(request.csv, index, several);
    d.plot = PerDevicePath(request.plot, index, several);
    d.edf = PerDevicePath(request.edf, index, several);
    for (const auto& [path, option] : {std::pair{d.csv, "--csv"}, {d.plot, "--plot"}, {d.edf, "--edf"}}) {
      if (path.empty() || IsStdout(path)) continue;
      const fs::path id = Identity(path);
      for (const Named& other : all) {
        if (Identity(other.path) != id) continue;
        *error = other.option + " and " + option + " name the same file (" + path.string() +
                 "): one would overwrite the other";
        return std::nullopt;
      }
      all.push_back({path, option});
    }
    plan.push_back(std::move(d));
  }
  *usage = false;
  for (const Named& n : all) {
    if (!ProbeWritable(n.path, error)) return std::nullopt;
  }
  return plan;
}

std::FILE* OpenForWriting(const fs::path& path, std::string* error) {
  if (!MakeFolders(path, error)) return nullptr;
  std::FILE* f = std::fopen(path.string().c_str(), "wb");
  if (!f) *error = "cannot write " + path.string() + ": " + SystemReason();
  return f;
}

bool CloseWritten(std::FILE* file, const fs::path& path, std::string* error) {
  bool ok = std::fflush(file) == 0 && !std::ferror(file);
  int saved = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) *error = "error writing " + path.string() + ": " + std::strerror(saved);
  return ok;
}

bool WriteWholeFile(const fs::path& path, const std::string& text, std::string* error) {
  std::FILE* f = OpenForWriting(path, error);
  if (!f) return false;
  std::fwrite(text.data(), 1, text.size(), f);
  return CloseWritten(f, path, error);
}

}  // namespace vozihost
