#include "support/requirement_file.h"

#include <filesystem>
#include <fstream>

namespace testing_support {

namespace fs = std::filesystem;

std::string RequirementFile::Folder() {
  return (fs::read_symlink("/proc/self/exe").parent_path() / "Devices").string();
}

std::string RequirementFile::Path() { return Folder() + "/VoziFirmwareVer.ini"; }

RequirementFile::RequirementFile(const std::string& content) {
  createdFolder_ = fs::create_directories(Folder());
  std::ofstream(Path(), std::ios::binary) << content;
}

RequirementFile::RequirementFile() { fs::remove(Path()); }

RequirementFile::~RequirementFile() {
  std::error_code ignored;
  fs::remove(Path(), ignored);
  if (createdFolder_) fs::remove(Folder(), ignored);
}

}  // namespace testing_support
