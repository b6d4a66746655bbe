#pragma once
// Writes Devices/VoziFirmwareVer.ini beside the running test executable (where
// the library looks for it) and removes it again.
#include <string>

namespace testing_support {

class RequirementFile {
 public:
  // Writes the file with exactly this content.
  explicit RequirementFile(const std::string& content);
  // No file at all (removes one a crashed run may have left).
  RequirementFile();
  ~RequirementFile();
  RequirementFile(const RequirementFile&) = delete;
  RequirementFile& operator=(const RequirementFile&) = delete;

  static std::string Folder();  // <exe dir>/Devices
  static std::string Path();

 private:
  bool createdFolder_ = false;
};

}  // namespace testing_support
