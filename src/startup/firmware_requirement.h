#pragma once
// Which firmware an instrument must carry is not built in: the host installs
// "Devices/VoziFirmwareVer.ini" beside its executable, whose section
// "required" names it with the key "kyrev". On Linux a host without that file
// reads the machine's copy, /etc/vozi/VoziFirmwareVer.ini.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class FirmwareDocument;  // the parsed INI text

class FirmwareRequirement {
 public:
  FirmwareRequirement();
  ~FirmwareRequirement();
  FirmwareRequirement(const FirmwareRequirement&) = delete;
  FirmwareRequirement& operator=(const FirmwareRequirement&) = delete;

  // Finds and loads the file beside the host executable, or else the
  // machine's copy (Linux); true when one was found and parsed. A second call
  // does nothing more.
  bool LoadRequirementFile();
  // Loads the file at path instead (tests and tools).
  bool LoadRequirementFileAt(const std::u16string& path);
  // The required firmware number; 1 when the key is missing, 0 when its
  // value is not a number.
  int32_t ReadRequiredFirmware() const;

  bool loaded() const { return loaded_; }

 private:
  std::unique_ptr<FirmwareDocument> document_;
  bool loaded_ = false;
};

// The firmware number of an instrument's text (or a requirement's value):
// the number read as a float, truncated toward zero to 64 bits, low 32 bits
// kept. Text that is not a number gives 0.
int32_t FirmwareNumberFromText(const std::string& narrowText);

// The number an instrument must report: the file's, or 1 without a file.
int32_t RequiredFirmwareNumber();

// Name of the requirement file relative to the host executable's folder.
inline constexpr char16_t kRequirementFile[] = u"Devices\\VoziFirmwareVer.ini";
inline constexpr char16_t kRequirementFileName[] = u"VoziFirmwareVer.ini";
// The file names one number in a few lines; anything larger is not ours and
// is taken as no file rather than read whole.
inline constexpr size_t kMaxRequirementFileBytes = 64 * 1024;
