// Where the host's framework library is looked for, and what the user is
// told when it is not there. Plain text work, shared by both platforms so
// that it can be tested anywhere.
#include "platform/host_services.h"

namespace platform {

namespace {

constexpr std::u16string_view kFrameworkLibraryName = u"Bex.dll";
constexpr std::u16string_view kLoadFailurePrefix = u"Kymo failed to load ";

}  // namespace

std::u16string FrameworkLibraryPath(std::u16string_view hostExecutable) {
  // Keep the drive and folder; the file name and extension become those of
  // the framework library. Windows accepts both slashes, and "C:host.exe"
  // names a file in the current folder of drive C.
  const size_t folderEnd = hostExecutable.find_last_of(u"\\/:");
  std::u16string path;
  if (folderEnd != std::u16string_view::npos) path.assign(hostExecutable.substr(0, folderEnd + 1));
  path.append(kFrameworkLibraryName);
  return path;
}

std::u16string FrameworkLoadFailureText(std::u16string_view libraryPath) {
  std::u16string text(kLoadFailurePrefix);
  text.append(libraryPath.substr(0, kMaxLoadFailureTextLength - kLoadFailurePrefix.size()));
  return text;
}

}  // namespace platform
