// The INI file is read with SimpleIni's wide, case-insensitive document. On
// Linux SimpleIni's wide characters are ICU's UChar (UTF-16); on Windows
// wchar_t (UTF-16 as well). SimpleIni includes <windows.h> on Windows itself.
// This is the one translation unit that instantiates SimpleIni's templates.
#if !defined(_WIN32)
#define SI_CONVERT_ICU
#endif
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include "startup/firmware_requirement.h"

#include <list>

#include "platform/codepage.h"
#include "platform/host_files.h"
#include "vozi/fields.h"

using IniChar = SI_WCHAR_T;
static_assert(sizeof(IniChar) == sizeof(char16_t), "SimpleIni must hold UTF-16 text");

class FirmwareDocument : public CSimpleIniW {
 public:
  // UTF-8 storage off, one value per key, no multi-line values at first.
  FirmwareDocument() : CSimpleIniW(false, false, false) {}
};

namespace {

const IniChar* Ini(const char16_t* text) { return reinterpret_cast<const IniChar*>(text); }

std::u16string FromIni(const IniChar* text) {
  std::u16string out;
  if (text) out.assign(reinterpret_cast<const char16_t*>(text));
  return out;
}

}  // namespace

FirmwareRequirement::FirmwareRequirement() = default;
FirmwareRequirement::~FirmwareRequirement() = default;

bool FirmwareRequirement::LoadRequirementFile() {
  if (loaded_) return true;
  const auto beside = platform::PathBesideHostExecutable(kRequirementFile);
  if (beside && LoadRequirementFileAt(*beside)) return true;
  // A host with no readable file of its own (a Python interpreter in
  // /usr/bin) would otherwise need one made beside it by hand.
  const auto machineWide = platform::MachineWideHostFile(kRequirementFileName);
  return machineWide && LoadRequirementFileAt(*machineWide);
}

bool FirmwareRequirement::LoadRequirementFileAt(const std::u16string& path) {
  if (loaded_) return true;
  document_ = std::make_unique<FirmwareDocument>();
  document_->SetMultiLine(true);
  // Read whole and handed to SimpleIni as its LoadFile would hand it; a path
  // that is no regular file of a sane size counts as no file.
  SI_Error result = SI_FILE;
  if (const auto bytes = platform::ReadSmallFile(path, kMaxRequirementFileBytes)) {
    result = document_->LoadData(bytes->data(), bytes->size());
  }
  loaded_ = result == SI_OK;
  return loaded_;
}

int32_t FirmwareRequirement::ReadRequiredFirmware() const {
  if (!document_) return 1;
  CSimpleIniW::TNamesDepend keys;
  document_->GetAllKeys(Ini(u"required"), keys);
  std::u16string value;
  bool matched = false;
  for (const auto& key : keys) {
    // Compare a lower-cased private copy of the name with "kyrev".
    std::u16string name = FromIni(key.pItem);
    name.push_back(u'\0');
    platform::WideLowerInPlace(name.data(), name.size());
    name.pop_back();
    const IniChar* found = document_->GetValue(Ini(u"required"), Ini(name.c_str()), nullptr);
    if (name == u"kyrev") {
      value = FromIni(found);
      matched = true;
    }
  }
  if (!matched) return 1;
  auto narrow = platform::WideToNarrow(value, platform::kCP_THREAD_ACP);
  return FirmwareNumberFromText(narrow.value_or(std::string()));
}

int32_t FirmwareNumberFromText(const std::string& narrowText) {
  const float number = parseNumber(narrowText);
  // Truncation to 64 bits; a float outside that range becomes the value with
  // only the top bit set, whose low 32 bits are 0.
  constexpr float kTwo63 = 9223372036854775808.0f;
  if (!(number >= -kTwo63 && number < kTwo63)) return 0;
  const auto wide = static_cast<int64_t>(number);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(wide)));
}

int32_t RequiredFirmwareNumber() {
  FirmwareRequirement requirement;
  if (!requirement.LoadRequirementFile()) return 1;
  return requirement.ReadRequiredFirmware();
}
