// A test host for the library's number format under the user's regional
// settings. Its own C runtime locale is the user's for character types and
// times, as a localised host's is; numbers it leaves to the library. It
// loads Vozi.kycdll from beside itself, lets it set up through the first
// narrow text it hands over, and unloads it:
//   - while loaded, the C runtime's numbers use the user's decimal character
//     (the runner sets German regional settings: a decimal comma);
//   - after unloading, the C runtime's locale is exactly the host's again.
// Exit code 0 when every check passed, 1 otherwise, 2 when the library could
// not be used at all.
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <string>

#include "vozi_enabler.h"

namespace {

int g_failures = 0;

void Check(bool passed, const char* what, const std::string& seen) {
  std::printf("  %s %s (%s)\n", passed ? "ok  " : "FAIL", what, seen.c_str());
  if (!passed) ++g_failures;
}

std::string AllCategories() {
  const char* all = std::setlocale(LC_ALL, nullptr);
  return all != nullptr ? all : "?";
}

std::string NumberText(double value) {
  char text[64];
  _snprintf(text, sizeof text, "%.1f", value);  // the C runtime's own printf
  text[sizeof text - 1] = '\0';
  return text;
}

std::wstring LibraryPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"Vozi.kycdll";
}

}  // namespace

int main() {
  std::setlocale(LC_CTYPE, "");
  std::setlocale(LC_TIME, "");
  const std::string host = AllCategories();
  std::printf("host's locale: %s\n", host.c_str());

  HMODULE library = LoadLibraryW(LibraryPath().c_str());
  if (library == nullptr) {
    std::printf("LoadLibraryW failed: %lu\n", GetLastError());
    return 2;
  }
  const auto message = reinterpret_cast<decltype(&GetLastErrorMsg)>(
      reinterpret_cast<void*>(GetProcAddress(library, "GetLastErrorMsg")));
  if (message == nullptr) return 2;
  char text[1024];
  const int32_t size = message(-1, nullptr);
  if (size <= 0 || size > static_cast<int32_t>(sizeof text)) return 2;
  message(-1, text);

  const std::string loaded = NumberText(1234567.5);
  Check(loaded == "1234567,5", "numbers follow the user's decimal comma", loaded);
  const std::string radix = std::localeconv()->decimal_point;
  Check(radix == ",", "the C runtime's decimal point", radix);

  FreeLibrary(library);
  const std::string after = AllCategories();
  Check(after == host, "the host's locale after unloading", after);
  const std::string unloaded = NumberText(1234567.5);
  Check(unloaded == "1234567.5", "numbers as the host had them", unloaded);
  return g_failures == 0 ? 0 : 1;
}
