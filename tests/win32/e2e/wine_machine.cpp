#include "e2e/wine_machine.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>
#include <shlobj.h>

#include "support/serial_peer.h"

namespace e2e {
namespace {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::string ReadFileBytes(const std::wstring& path) {
  // Shared: the simulator keeps its log open for writing.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

// Wine 8 serves each overlapped WaitCommEvent that has to wait with a helper
// thread of its own, and those threads leave stale entries in the loader's
// list of threads with thread-local storage. Mapping a DLL that has a TLS
// directory (every MinGW-built DLL, our ftd2xx.dll double among them) after
// a COM port has been used then loops forever in the loader. A host that
// runs FindDevice again after CloseAll makes the library load ftd2xx.dll
// afresh, so this program keeps the system folder's ftd2xx.dll loaded from
// the start: the library's LoadLibraryW and FreeLibrary then only count
// references. (Windows has no such helper threads.)
class HoldFtdiDriver : public ::testing::Environment {
 public:
  void SetUp() override {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, path))) return;
    const std::wstring dll = std::wstring(path) + L"\\ftd2xx.dll";
    if (GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES) module_ = LoadLibraryW(dll.c_str());
  }
  // Kept until the process ends: unloading it would gain nothing.

 private:
  HMODULE module_ = nullptr;
};
::testing::Environment* const kHoldFtdiDriver = ::testing::AddGlobalTestEnvironment(new HoldFtdiDriver);

}  // namespace

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::wstring(value, length);
}

void PresentInterfaces(const std::vector<PortInterface>& interfaces) {
  // The double's list: instance ID, device path, manufacturer, friendly name,
  // description, separated by tabs.
  std::string list;
  for (const PortInterface& port : interfaces) {
    list += Utf8(port.instanceId) + "\t" + Utf8(port.devicePath) + "\tFTDI\tUSB Serial Port\tUSB Serial Port\n";
  }
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"vozi-e2e-interfaces-" +
                            std::to_wstring(GetCurrentProcessId()) + L".txt";
  WriteFileBytes(path, list);
  SetEnvironmentVariableW(L"VOZI_TEST_SETUPAPI_LIST", path.c_str());
}

void WriteRequirementFile(const std::string& text) {
  const std::wstring folder = ProgramFolder() + L"Devices";
  CreateDirectoryW(folder.c_str(), nullptr);
  WriteFileBytes(folder + L"\\VoziFirmwareVer.ini", text);
}

void RemoveRequirementFile() { DeleteFileW((ProgramFolder() + L"Devices\\VoziFirmwareVer.ini").c_str()); }

std::vector<std::string> FramesLogged(const std::wstring& logPath) {
  std::vector<std::string> frames;
  const std::string bytes = ReadFileBytes(logPath);
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    // A line still being written is not a frame yet.
    if (end == std::string::npos) break;
    frames.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return frames;
}

std::vector<std::string> WaitForLastFrame(const std::wstring& logPath, size_t after,
                                          const std::string& text, uint32_t timeoutMs) {
  const uint64_t deadline = wintest::NowMs() + timeoutMs;
  for (;;) {
    std::vector<std::string> frames = FramesLogged(logPath);
    const bool arrived = frames.size() > after && frames.back() == text;
    if (arrived || wintest::NowMs() >= deadline) return frames;
    Sleep(10);
  }
}

bool WriteOutputLines(const std::wstring& fileName, const std::vector<std::string>& lines) {
  const std::wstring folder = Environment(L"VOZI_E2E_OUT");
  if (folder.empty()) return false;
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\n";
  return WriteFileBytes(folder + L"\\" + fileName, bytes);
}

std::wstring TakeSetupApiLog() {
  const HMODULE module = GetModuleHandleW(L"setupapi.dll");
  if (module == nullptr) return L"<not loaded>";
  using TakeFn = unsigned (*)(wchar_t*, unsigned);
  const auto take = reinterpret_cast<TakeFn>(reinterpret_cast<void*>(GetProcAddress(module, "TestDoubleLog")));
  if (take == nullptr) return L"<not the double>";
  std::wstring text(take(nullptr, 0) + 1, L'\0');
  text.resize(take(text.data(), static_cast<unsigned>(text.size())));
  return text;
}

}  // namespace e2e
