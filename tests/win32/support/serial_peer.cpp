#include "support/serial_peer.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>


namespace wintest {

namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[1024];
  const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::wstring(buffer, length);
}

std::string ReadAll(const std::wstring& path) {
  // Shared read: the peer keeps the log open for writing.
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

}  // namespace

std::u16string TestComPort() {
  const std::wstring name = Environment(L"VOZI_TEST_COM_PORT");
  return std::u16string(name.begin(), name.end());
}

PeerLog::PeerLog() : path_(Environment(L"VOZI_TEST_PEER_LOG")) {}

size_t PeerLog::Size() const { return ReadAll(path_).size(); }

std::string PeerLog::WaitForBytes(size_t offset, size_t count, uint32_t timeoutMs) const {
  const uint64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    const std::string all = ReadAll(path_);
    const std::string after = all.size() > offset ? all.substr(offset) : std::string();
    if (after.size() >= count || NowMs() >= deadline) return after;
    Sleep(5);
  }
}

std::string ReadSourceFile(const std::string& unixPath) {
  std::wstring path = L"Z:";
  for (char c : unixPath) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return ReadAll(path);
}

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

uint64_t NowMs() {
  // The performance counter, not the tick count: its 16 ms steps on Windows
  // are as coarse as the bounds being measured.
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart * 1000 / frequency.QuadPart);
}

}  // namespace wintest
