// The firmware requirement file: arbitrary bytes written to a file, loaded
// and read as start-up does.
//
// The first input byte picks the mode. Raw (even): the rest of the input is
// the whole file. Built (odd): the input chooses the letter case of
// "[required]" and "kyrev", a value (printable ASCII) and some distractions
// (another section with its own kyrev, a neighbouring key, a repeated kyrev
// whose value replaces the first); the required number is then known and
// checked exactly.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "startup/firmware_requirement.h"
#include "vozi/fields.h"

namespace {

const std::filesystem::path& FilePath() {
  static const std::filesystem::path path = [] {
    // One file per fuzzing process: parallel jobs must not share it.
    std::random_device random;
    return std::filesystem::temp_directory_path() /
           ("vozi-fuzz-" + std::to_string(random()) + "-VoziFirmwareVer.ini");
  }();
  return path;
}

struct RemoveAtExit {
  ~RemoveAtExit() {
    std::error_code ignored;
    std::filesystem::remove(FilePath(), ignored);
  }
};

void WriteFile(std::string_view bytes) {
  std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && AsciiLower(text[i + k]) == word[k]) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

// The word with the letters whose bit in `pattern` is set in capitals.
std::string Cased(std::string_view word, uint8_t pattern) {
  std::string out(word);
  for (size_t i = 0; i < out.size(); ++i) {
    if (pattern & (1u << (i % 8))) out[i] = static_cast<char>(out[i] - 'a' + 'A');
  }
  return out;
}

// A value SimpleIni keeps as it is: printable, no white space at either end,
// not the start of a multi-line value.
std::string ValueText(fuzz::Input& input) {
  std::string value;
  const size_t length = input.Byte() % 24;
  for (size_t i = 0; i < length; ++i) value += static_cast<char>(0x21 + input.Byte() % 0x5e);
  value.erase(0, value.find_first_not_of('<'));
  return value;
}

// The required number for a value: the number read as start-up reads it,
// truncated to 64 bits and cut to the low 32.
int32_t NumberOf(const std::string& value) {
  const float number = parseNumberReference(value);
  if (!(number >= -9223372036854775808.0f && number < 9223372036854775808.0f)) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(number))));
}

int32_t Load(bool* loaded = nullptr) {
  FirmwareRequirement requirement;
  const bool ok = requirement.LoadRequirementFileAt(FilePath().u16string());
  FUZZ_CHECK(ok == requirement.loaded(), "LoadRequirementFileAt and loaded() disagree");
  // A second load on the same object keeps what the first one found.
  if (ok) {
    FUZZ_CHECK(requirement.LoadRequirementFileAt(u"/nonexistent/VoziFirmwareVer.ini"),
               "a second load undid a successful first one");
  }
  if (loaded) *loaded = ok;
  return ok ? requirement.ReadRequiredFirmware() : 1;
}

void RawFile(std::string_view bytes) {
  WriteFile(bytes);
  bool loaded = false;
  const int32_t required = Load(&loaded);
  FUZZ_CHECK(Load() == required, "loading the same file twice gave two numbers");
  if (required != 1) {
    FUZZ_CHECK(loaded && ContainsIgnoringCase(bytes, "required") && ContainsIgnoringCase(bytes, "kyrev"),
               "required " + std::to_string(required) + " from a file without [required] kyrev: \"" +
                   fuzz::Printable(bytes) + "\"");
  }
}

void BuiltFile(fuzz::Input& input) {
  const uint8_t sectionCase = input.Byte();
  const uint8_t keyCase = input.Byte();
  const uint8_t extras = input.Byte();
  const std::string value = ValueText(input);
  std::string expected = value;
  std::string file;
  if (extras & 1) file += "; comment\n[other]\nkyrev = 777\n\n";
  file += "[" + Cased("required", sectionCase) + "]\n";
  if (extras & 2) file += "kyrevision = 555\n";
  file += Cased("kyrev", keyCase) + (extras & 4 ? " = " : "=") + value + (extras & 8 ? "\r\n" : "\n");
  if (extras & 16) {
    expected = ValueText(input);
    file += "KYREV=" + expected + "\n";
  }
  if (extras & 32) file += "[Required2]\nkyrev=888\n";
  WriteFile(file);

  bool loaded = false;
  const int32_t required = Load(&loaded);
  FUZZ_CHECK(loaded, "a well-formed file did not load: \"" + fuzz::Printable(file) + "\"");
  FUZZ_CHECK(required == NumberOf(expected), "file \"" + fuzz::Printable(file) + "\" gave " +
                                                 std::to_string(required) + ", expected " +
                                                 std::to_string(NumberOf(expected)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static RemoveAtExit cleanup;
  fuzz::Input input(data, size);
  if (input.Byte() & 1) {
    BuiltFile(input);
  } else {
    RawFile(input.Rest());
  }
  return 0;
}
