// A test host for the library's host identity code: it sets up the process
// the way a host might (services registered or not, COM or OLE initialised
// or not, Bex.dll beside it or not), loads the library with LoadLibraryW and
// checks what reached its services object and the framework.
//
// One scenario per process, since what the library sets up happens once per
// process:
//   identity_host registered <library> <expected text | -> [decline]
//   identity_host framework <library> <expected text | -> [keep]
//   identity_host ole-initialised <library>
//   identity_host framework-missing <library>
// Exit code 0 when every check passed, 1 otherwise. In framework-missing the
// library is expected to end the process (exit code -1) while it loads. With
// "keep" the host ends without unloading the library, as many hosts do: its
// clean-up then runs while the process ends, and must not crash or hang it.
#include "identity_record.h"  // windows.h first: oleauto.h relies on it

#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "services_double.h"

namespace {

identity::Record g_record;
int g_failures = 0;

// {3904AA0E-3E8D-11D1-997F-00C0DF492697} and {2D3B7EC5-BF24-11CF-97E6-00C0DF492697}
const IID kStringInterface = {
    0x3904AA0E, 0x3E8D, 0x11D1, {0x99, 0x7F, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};
const IID kAutoStringInterface = {
    0x2D3B7EC5, 0xBF24, 0x11CF, {0x97, 0xE6, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};

void Check(bool passed, const char* what) {
  std::printf("  %s %s\n", passed ? "ok  " : "FAIL", what);
  if (!passed) ++g_failures;
}

// The string interface as a host sees it: a method table called by position.
template <typename Result, typename... Args>
Result CallSlot(void* object, int slot, Args... args) {
  using Method = Result(STDMETHODCALLTYPE*)(void*, Args...);
  return reinterpret_cast<Method>((*static_cast<void***>(object))[slot])(object, args...);
}
constexpr int kQueryInterface = 0, kRelease = 2, kAssignFromBSTR = 3, kCopyToBSTR = 4,
              kGetLength = 6, kIsEqual = 7, kCreateEmpty = 13, kGetChars = 18;

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

std::wstring HostFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// Another string made through the reported one, as a host makes its own.
void* StringLike(void* text, const std::wstring& value) {
  void* made = nullptr;
  CallSlot<HRESULT>(text, kCreateEmpty, static_cast<UINT>(value.size()), &made);
  BSTR b = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  if (made != nullptr) CallSlot<HRESULT>(made, kAssignFromBSTR, b);
  SysFreeString(b);
  return made;
}

VARIANT_BOOL IsEqual(void* text, void* other) {
  VARIANT_BOOL equal = 1;  // neither true (-1) nor false (0)
  if (other != nullptr) CallSlot<HRESULT>(text, kIsEqual, other, &equal);
  return equal;
}

void CheckReportedText(const std::wstring& expected) {
  void* text = g_record.reportedText;
  Check(text != nullptr, "method 57 received a string");
  if (text == nullptr) return;
  Check(g_record.referencesDuringReport == 2, "the library held one reference while reporting");

  UINT length = 0;
  CallSlot<HRESULT>(text, kGetLength, &length);
  Check(length == expected.size(), "GetLength gives the text's length");
  const wchar_t* chars = CallSlot<wchar_t*>(text, kGetChars);
  Check(chars != nullptr && expected == chars, "GetChars gives the exact text, terminated");
  std::printf("       reported: \"%ls\"\n", chars != nullptr ? chars : L"(null)");

  BSTR copy = nullptr;
  Check(CallSlot<HRESULT>(text, kCopyToBSTR, &copy) == S_OK && copy != nullptr &&
            SysStringLen(copy) == expected.size() && expected == copy,
        "CopyToBSTR gives the text");
  SysFreeString(copy);

  for (const IID* iid : {&kStringInterface, &kAutoStringInterface}) {
    void* same = nullptr;
    Check(CallSlot<HRESULT>(text, kQueryInterface, iid, &same) == S_OK && same == text,
          "QueryInterface answers for the string interfaces");
    if (same != nullptr) CallSlot<ULONG>(same, kRelease);
  }

  Check(IsEqual(text, text) == VARIANT_TRUE, "IsEqual with itself");
  void* same = StringLike(text, expected);
  Check(IsEqual(text, same) == VARIANT_TRUE, "IsEqual with another string of the same text");
  std::wstring changed = expected;
  changed.back() = changed.back() == L'a' ? L'A' : L'a';
  void* other = StringLike(text, changed);
  Check(IsEqual(text, other) == VARIANT_FALSE, "IsEqual with a different text");
  if (same != nullptr) CallSlot<ULONG>(same, kRelease);
  if (other != nullptr) CallSlot<ULONG>(other, kRelease);

  Check(CallSlot<ULONG>(text, kRelease) == 0, "the host's reference was the last one");
  g_record.reportedText = nullptr;
}

void CheckReport(const char* expected) {
  Check(g_record.method51Calls == 1 && g_record.method51Reserved == 0,
        "method 51 called once with 0");
  Check(g_record.unexpectedSlot == -1, "no other method called");
  if (std::strcmp(expected, "-") == 0) {
    Check(g_record.method57Calls == 0, "method 57 not called");
    return;
  }
  Check(g_record.method57Calls == 1 && g_record.method57Reserved == 0,
        "method 57 called once with 0");
  CheckReportedText(Widen(expected));
}

HMODULE LoadLibraryBesideHost(const char* name) {
  const std::wstring path = HostFolder() + Widen(name);
  const HMODULE library = LoadLibraryW(path.c_str());
  Check(library != nullptr, "the library loads");
  return library;
}

bool FrameworkLibraryLoaded() { return GetModuleHandleW(L"Bex.dll") != nullptr; }

HRESULT ProbeFramework() {
  IUnknown* framework = nullptr;
  const HRESULT result =
      CoGetClassObject(identity::kFrameworkClass, CLSCTX_INPROC_SERVER, nullptr,
                       identity::kUnknownInterface, reinterpret_cast<void**>(&framework));
  if (SUCCEEDED(result) && framework != nullptr) framework->Release();
  return result;
}

// The host registered its services before loading the library.
void Registered(const char* library, const char* expected, bool decline) {
  g_record.declineReport = decline ? 1 : 0;
  Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "host: COM initialised");
  DWORD cookie = 0;
  Check(SUCCEEDED(CoRegisterClassObject(identity::kHostServicesClass,
                                        identity::ServicesClassObject(&g_record),
                                        CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie)),
        "host: services class registered");
  const HMODULE loaded = LoadLibraryBesideHost(library);
  Check(g_record.servicesQueries == 1, "the services were obtained once");
  CheckReport(expected);
  Check(!FrameworkLibraryLoaded() && g_record.frameworkEntryCalls == 0, "Bex.dll was not loaded");
  if (loaded != nullptr) FreeLibrary(loaded);
  CoRevokeClassObject(cookie);
  CoUninitialize();
}

// Nothing provides the framework class: the library registers it from the
// Bex.dll beside the host, which then offers the services.
void Framework(const char* library, const char* expected, bool keep) {
  Check(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), "host: COM initialised");
  const HMODULE loaded = LoadLibraryBesideHost(library);

  const HMODULE bex = GetModuleHandleW(L"Bex.dll");
  wchar_t bexPath[MAX_PATH] = L"";
  if (bex != nullptr) GetModuleFileNameW(bex, bexPath, MAX_PATH);
  Check(bex != nullptr && _wcsicmp(bexPath, (HostFolder() + L"Bex.dll").c_str()) == 0,
        "Bex.dll loaded from the host's folder");
  Check(g_record.frameworkEntryCalls == 1 &&
            IsEqualGUID(g_record.frameworkEntryClass, identity::kFrameworkClass) &&
            IsEqualGUID(g_record.frameworkEntryInterface, identity::kUnknownInterface),
        "DllGetClassObject asked once for the framework class, IUnknown");
  IUnknown* framework = nullptr;
  Check(SUCCEEDED(CoGetClassObject(identity::kFrameworkClass, CLSCTX_INPROC_SERVER, nullptr,
                                   identity::kUnknownInterface,
                                   reinterpret_cast<void**>(&framework))) &&
            framework == g_record.frameworkObject,
        "the framework class object is registered in the process");
  if (framework != nullptr) framework->Release();
  Check(g_record.frameworkReferences == 1, "only the registration holds the framework object");
  CheckReport(expected);
  if (keep) return;

  if (loaded != nullptr) FreeLibrary(loaded);
  Check(!FrameworkLibraryLoaded(), "unloading the library freed Bex.dll");
  Check(g_record.frameworkReferences == 0, "unloading released every framework reference");
  Check(ProbeFramework() == REGDB_E_CLASSNOTREG, "unloading revoked the framework class");
  if (g_record.servicesCookie != 0) CoRevokeClassObject(g_record.servicesCookie);
  CoUninitialize();
  Check(ProbeFramework() == CO_E_NOTINITIALIZED, "the library's OLE initialisation was undone");
}

// OLE is already initialised on the host's thread and nothing provides the
// services or the framework: the library loads without them, and leaves the
// host's OLE initialisation count as it found it.
void OleInitialised(const char* library) {
  Check(OleInitialize(nullptr) == S_OK, "host: OLE initialised");
  const HMODULE loaded = LoadLibraryBesideHost(library);
  Check(g_record.method51Calls == 0 && g_record.method57Calls == 0, "no services, no report");
  Check(!FrameworkLibraryLoaded(), "Bex.dll was not loaded");
  if (loaded != nullptr) FreeLibrary(loaded);
  OleUninitialize();
  Check(ProbeFramework() == CO_E_NOTINITIALIZED, "the host's one OleUninitialize ended OLE");
}

// Bex.dll is missing or has no DllGetClassObject: loading must not return.
void FrameworkMissing(const char* library) {
  const std::wstring path = HostFolder() + Widen(library);
  LoadLibraryW(path.c_str());
  Check(false, "the process went on after the framework library was found missing");
}

int Usage() {
  std::fprintf(stderr,
               "usage: identity_host registered <library> <text|-> [decline]\n"
               "       identity_host framework <library> <text|-> [keep]\n"
               "       identity_host ole-initialised <library>\n"
               "       identity_host framework-missing <library>\n");
  return 2;
}

}  // namespace

// The framework double finds the record and the services class object here.
extern "C" __declspec(dllexport) identity::Record* __cdecl VoziIdentityRecord() {
  return &g_record;
}
extern "C" __declspec(dllexport) IUnknown* __cdecl VoziIdentityServicesClassObject() {
  return identity::ServicesClassObject(&g_record);
}

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string scenario = argv[1];
  const char* library = argv[2];
  std::printf("identity_host %s %s\n", scenario.c_str(), library);
  std::fflush(stdout);
  if (scenario == "registered" && argc >= 4) {
    Registered(library, argv[3], argc >= 5 && std::strcmp(argv[4], "decline") == 0);
  } else if (scenario == "framework" && argc >= 4) {
    Framework(library, argv[3], argc >= 5 && std::strcmp(argv[4], "keep") == 0);
  } else if (scenario == "ole-initialised") {
    OleInitialised(library);
  } else if (scenario == "framework-missing") {
    FrameworkMissing(library);
  } else {
    return Usage();
  }
  std::fflush(stdout);
  return g_failures == 0 ? 0 : 1;
}
