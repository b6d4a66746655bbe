// A stand-in for the FTDI D2XX library ftd2xx.dll: the adapters come from the
// file named by VOZI_TEST_FTD2XX_LIST, one adapter a line:
//   serial number <tab> COM port number (-1: none) [<tab> open|info|port]
// The optional third field makes that call fail for the adapter. A serial
// number of 16 characters or more fills the 16-byte buffer without a zero.
// Every call is logged.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "list_file.h"

namespace {

constexpr DWORD kFtOk = 0;
constexpr DWORD kFtInvalidHandle = 1;
constexpr DWORD kFtDeviceNotFound = 2;
constexpr DWORD kFtDeviceNotOpened = 3;
constexpr DWORD kFtIoError = 4;

doubles::CallLog g_log;
std::vector<std::vector<std::wstring>> g_adapters;

std::wstring Number(long long value) { return std::to_wstring(value); }

std::wstring Field(const std::vector<std::wstring>& record, size_t index) {
  return index < record.size() ? record[index] : L"";
}

// Handles are the adapter index + 1.
const std::vector<std::wstring>* Adapter(void* handle) {
  const auto index = reinterpret_cast<uintptr_t>(handle);
  if (index == 0 || index > g_adapters.size()) return nullptr;
  return &g_adapters[index - 1];
}

long long IndexOf(void* handle) { return static_cast<long long>(reinterpret_cast<uintptr_t>(handle)) - 1; }

}  // namespace

extern "C" {

DWORD WINAPI FT_Open(int index, void** handle) {
  g_log.Add(L"Open " + Number(index));
  // Each search starts at adapter 0: take the list afresh.
  if (index == 0) g_adapters = doubles::ReadListFile(L"VOZI_TEST_FTD2XX_LIST");
  if (index < 0 || static_cast<size_t>(index) >= g_adapters.size()) return kFtDeviceNotFound;
  if (Field(g_adapters[static_cast<size_t>(index)], 2) == L"open") return kFtDeviceNotOpened;
  *handle = reinterpret_cast<void*>(static_cast<uintptr_t>(index) + 1);
  return kFtOk;
}

DWORD WINAPI FT_GetDeviceInfo(void* handle, DWORD* type, DWORD* id, char* serial,
                              char* description, void* reserved) {
  g_log.Add(L"Info " + Number(IndexOf(handle)) + (reserved ? L" reserved=set" : L""));
  const auto* adapter = Adapter(handle);
  if (!adapter) return kFtInvalidHandle;
  if (Field(*adapter, 2) == L"info") return kFtIoError;
  *type = 5;  // a single-channel chip
  *id = 0x04036001;
  const std::wstring wide = Field(*adapter, 0);
  const std::string narrow(wide.begin(), wide.end());
  std::memset(serial, 0, 16);
  std::memcpy(serial, narrow.data(), narrow.size() < 16 ? narrow.size() : 16);
  std::strcpy(description, "Test adapter");
  return kFtOk;
}

DWORD WINAPI FT_GetComPortNumber(void* handle, LONG* portNumber) {
  g_log.Add(L"Port " + Number(IndexOf(handle)));
  const auto* adapter = Adapter(handle);
  if (!adapter) return kFtInvalidHandle;
  if (Field(*adapter, 2) == L"port") return kFtIoError;
  *portNumber = std::wcstol(Field(*adapter, 1).c_str(), nullptr, 10);
  return kFtOk;
}

DWORD WINAPI FT_Close(void* handle) {
  g_log.Add(L"Close " + Number(IndexOf(handle)));
  return Adapter(handle) ? kFtOk : kFtInvalidHandle;
}

unsigned TestDoubleLog(wchar_t* buffer, unsigned capacity) { return g_log.Take(buffer, capacity); }

}  // extern "C"
