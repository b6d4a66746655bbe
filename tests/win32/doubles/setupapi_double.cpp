// A stand-in for SETUPAPI.DLL: the COM-port interfaces come from the file
// named by VOZI_TEST_SETUPAPI_LIST, one interface a line:
//   instance ID <tab> device path <tab> manufacturer <tab> friendly name <tab> description
// "-" (or a missing field) is a property the device lacks; "!" as the
// device path or instance ID makes that read fail. Every call is logged.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// Our own definitions, not imports: the header then declares them plainly.
#define _SETUPAPI_
#include <setupapi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "list_file.h"

namespace {

constexpr DWORD kMagic = 0x56534554;  // set handles carry it

struct DeviceSet {
  DWORD magic = kMagic;
  std::vector<std::vector<std::wstring>> records;
};

doubles::CallLog g_log;

std::wstring Number(unsigned long long value) { return std::to_wstring(value); }

std::wstring GuidText(const GUID* guid) {
  if (!guid) return L"null";
  wchar_t text[40];
  swprintf(text, 40, L"%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
           static_cast<unsigned long>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0],
           guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
           guid->Data4[6], guid->Data4[7]);
  return text;
}

DeviceSet* SetOf(HDEVINFO handle) {
  auto* set = static_cast<DeviceSet*>(handle);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || set->magic != kMagic) return nullptr;
  return set;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The record behind a devinfo or interface "Reserved" field (index + 1).
const std::vector<std::wstring>* Record(DeviceSet* set, ULONG_PTR reserved) {
  if (!set || reserved == 0 || reserved > set->records.size()) return nullptr;
  return &set->records[reserved - 1];
}

std::wstring Field(const std::vector<std::wstring>& record, size_t index) {
  return index < record.size() ? record[index] : L"-";
}

BOOL EnumInterfaces(const wchar_t* which, HDEVINFO handle, PSP_DEVINFO_DATA info,
                    const GUID* interfaceClass, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  g_log.Add(std::wstring(L"EnumInterfaces(") + which + L") index=" + Number(index) +
            L" cbSize=" + Number(data ? data->cbSize : 0) + L" devinfo=" + (info ? L"set" : L"null") +
            L" guid=" + GuidText(interfaceClass));
  DeviceSet* set = SetOf(handle);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= set->records.size()) return Fail(ERROR_NO_MORE_ITEMS);
  data->InterfaceClassGuid = interfaceClass ? *interfaceClass : GUID{};
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

BOOL InterfaceDetail(const wchar_t* which, HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                     PSP_DEVINFO_DATA info) {
  g_log.Add(std::wstring(L"Detail(") + which + L") size=" + Number(size) + L" cbSize=" +
            (detail ? Number(detail->cbSize) : L"null") + L" devinfo=" +
            (info ? Number(info->cbSize) : L"null"));
  DeviceSet* set = SetOf(handle);
  if (!set || !data) return Fail(ERROR_INVALID_HANDLE);
  const auto* record = Record(set, data->Reserved);
  if (!record) return Fail(ERROR_INVALID_PARAMETER);
  const std::wstring path = Field(*record, 1);
  if (path == L"!") return Fail(ERROR_GEN_FAILURE);
  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                        (path.size() + 1) * sizeof(wchar_t));
  if (required) *required = need;
  if (!detail) return Fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (info) {
    if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    info->DevInst = static_cast<DWORD>(data->Reserved);
    info->Reserved = data->Reserved;
  }
  path.copy(detail->DevicePath, path.size());
  detail->DevicePath[path.size()] = L'\0';
  return TRUE;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* interfaceClass, PCWSTR enumerator, HWND parent,
                                     DWORD flags) {
  wchar_t hex[16];
  swprintf(hex, 16, L"0x%lX", static_cast<unsigned long>(flags));
  g_log.Add(L"GetClassDevs guid=" + GuidText(interfaceClass) + L" flags=" + hex + L" enumerator=" +
            (enumerator ? L"set" : L"null") + L" parent=" + (parent ? L"set" : L"null"));
  auto* set = new DeviceSet;
  set->records = doubles::ReadListFile(L"VOZI_TEST_SETUPAPI_LIST");
  return set;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  g_log.Add(L"Destroy");
  DeviceSet* set = SetOf(handle);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  set->magic = 0;
  delete set;
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                        const GUID* interfaceClass, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  return EnumInterfaces(L"new", handle, info, interfaceClass, index, data);
}

// The older names; the .def file exports them under those names.
BOOL WINAPI OldEnumInterfaceDevice(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                   const GUID* interfaceClass, DWORD index,
                                   PSP_DEVICE_INTERFACE_DATA data) {
  return EnumInterfaces(L"old", handle, info, interfaceClass, index, data);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA info) {
  return InterfaceDetail(L"new", handle, data, detail, size, required, info);
}

BOOL WINAPI OldGetInterfaceDeviceDetailW(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA info) {
  return InterfaceDetail(L"old", handle, data, detail, size, required, info);
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA info, PWSTR buffer,
                                        DWORD size, PDWORD needed) {
  g_log.Add(L"InstanceId size=" + Number(size) + L" buffer=" + (buffer ? L"set" : L"null"));
  DeviceSet* set = SetOf(handle);
  if (!set || !info || info->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_PARAMETER);
  const auto* record = Record(set, info->Reserved);
  if (!record) return Fail(ERROR_INVALID_PARAMETER);
  const std::wstring id = Field(*record, 0);
  if (id == L"!") return Fail(ERROR_INVALID_DATA);
  if (needed) *needed = static_cast<DWORD>(id.size() + 1);
  if (!buffer || size < id.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
  id.copy(buffer, id.size());
  buffer[id.size()] = L'\0';
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA info,
                                              DWORD property, PDWORD type, PBYTE buffer,
                                              DWORD size, PDWORD required) {
  g_log.Add(L"Property " + Number(property) + L" size=" + Number(size));
  DeviceSet* set = SetOf(handle);
  if (!set || !info) return Fail(ERROR_INVALID_PARAMETER);
  const auto* record = Record(set, info->Reserved);
  if (!record) return Fail(ERROR_INVALID_PARAMETER);
  size_t field = 0;
  switch (property) {
    case SPDRP_MFG: field = 2; break;
    case SPDRP_FRIENDLYNAME: field = 3; break;
    case SPDRP_DEVICEDESC: field = 4; break;
    default: return Fail(ERROR_INVALID_DATA);
  }
  const std::wstring value = Field(*record, field);
  if (value == L"-") return Fail(ERROR_INVALID_DATA);
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  if (required) *required = bytes;
  if (type) *type = REG_SZ;
  if (!buffer || size < bytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::wstring terminated = value + L'\0';
  memcpy(buffer, terminated.data(), bytes);
  return TRUE;
}

// Required by the library's binding, but never called by it.
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO, DWORD index, PSP_DEVINFO_DATA) {
  g_log.Add(L"EnumDeviceInfo index=" + Number(index));
  return Fail(ERROR_NO_MORE_ITEMS);
}

// For the tests: the calls logged since the last take.
unsigned TestDoubleLog(wchar_t* buffer, unsigned capacity) { return g_log.Take(buffer, capacity); }

}  // extern "C"
