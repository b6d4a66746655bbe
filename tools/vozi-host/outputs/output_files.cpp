#include "outputs/output_files.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "commands/tool_paths.h"

namespace vozihost {
namespace {

namespace fs = std::filesystem;

// Where a name leads through any symbolic links, even to a file that does
// not exist yet: the file a write through the name creates. (The system
// gives up after 40 links; so does this.)
fs::path Resolved(fs::path path) {
  for (int k = 0; k < 40; ++k) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) return path;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) return path;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// The folder a new file would go in must be there already.
bool FolderExists(const fs::path& path, std::string* error) {
  const fs::path file = Resolved(path);
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  std::error_code ec;
  const fs::file_status status = fs::status(folder, ec);
  if (!ec && !fs::is_directory(status)) ec = std::make_error_code(std::errc::not_a_directory);
  if (!ec) return true;
  *error = "cannot write " + path.string() + ": " + folder.string() + ": " + ec.message();
  return false;
}

// Opens without truncating, so a file that exists keeps its contents until
// the recording really begins; a new one is removed again (the file the
// name leads to, not a link that leads there).
bool ProbeWritable(const fs::path& path, std::string* error) {
  const fs::path file = Resolved(path);
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(file, ec);
  const bool existed = fs::exists(status);
  // A FIFO's reader would take the probe's close for the end of the data,
  // and a device has no contents to keep: both are opened once, to write.
  if (existed && !fs::is_regular_file(status)) return true;
  std::FILE* f = std::fopen(path.string().c_str(), "ab");
  if (!f) {
    *error = "cannot write " + path.string() + ": " + SystemReason();
    return false;
  }
  std::fclose(f);
  if (!existed) fs::remove(file, ec);
  return true;
}

fs::path Identity(const fs::path& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(Resolved(path), ec), ec);
  return ec ? path : p;
}

// One file under two names: the same path once resolved, or (for files that
// exist) the same device and inode, which a hard link shares.
bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return Identity(a) == Identity(b) || fs::equivalent(a, b, ec);
}

struct Named {
  fs::path path;
  std::string option;
};

std::optional<std::string> UsageProblem(const OutputRequest& request, size_t devices) {
  if (IsStdout(request.csv) && devices > 1) {
    return "--csv - writes one instrument to standard output; choose one with --device";
  }
  if (IsStdout(request.plot) || IsStdout(request.edf)) return "only --csv can write to standard output (-)";
  return std::nullopt;
}

// Adds the files of `names` to `all`; the reason when one is already there.
std::optional<std::string> AddDistinct(const std::vector<Named>& names, std::vector<Named>& all) {
  for (const Named& n : names) {
    if (n.path.empty() || IsStdout(n.path)) continue;
    for (const Named& other : all) {
      if (!SameFile(other.path, n.path)) continue;
      return other.option + " and " + n.option + " name the same file (" + n.path.string() +
             "): one would overwrite the other";
    }
    all.push_back(n);
  }
  return std::nullopt;
}

}  // namespace

bool IsStdout(const fs::path& path) { return path == "-"; }

std::string SystemReason() { return std::strerror(errno); }

std::optional<std::string> CheckOutputNames(const OutputRequest& request, size_t devices, bool* usage) {
  *usage = true;
  if (auto e = UsageProblem(request, devices)) return e;
  std::vector<Named> all;
  if (auto e = AddDistinct({{request.csv, "--csv"}, {request.plot, "--plot"}, {request.edf, "--edf"}}, all)) {
    return e;
  }
  *usage = false;
  std::string error;
  for (const Named& n : all) {
    if (!FolderExists(n.path, &error)) return error;
    // One instrument writes the names as given: they can be tried now.
    if (devices == 1 && !ProbeWritable(n.path, &error)) return error;
  }
  return std::nullopt;
}

std::optional<std::vector<DeviceOutputs>> PlanOutputs(const OutputRequest& request,
                                                      const std::vector<int32_t>& devices,
                                                      std::string* error, bool* usage) {
  *usage = true;
  if (auto e = UsageProblem(request, devices.size())) {
    *error = *e;
    return std::nullopt;
  }
  const bool several = devices.size() > 1;
  std::vector<DeviceOutputs> plan;
  std::vector<Named> all;
  for (int32_t index : devices) {
    DeviceOutputs d;
    d.index = index;
    d.csv = IsStdout(request.csv) ? request.csv : PerDevicePath(request.csv, index, several);
    d.plot = PerDevicePath(request.plot, index, several);
    d.edf = PerDevicePath(request.edf, index, several);
    if (auto e = AddDistinct({{d.csv, "--csv"}, {d.plot, "--plot"}, {d.edf, "--edf"}}, all)) {
      *error = *e;
      return std::nullopt;
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
