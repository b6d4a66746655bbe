#include "platform/win32/setup_api_library.h"

namespace {

// Bound here, in the library's static set-up, so that it is ready before the
// entry point's process attach; released by the static clean-up at unload.
SetupApiLibrary g_setupApi;

// SETUPAPI.DLL only from the system folder: a DLL of that name beside the
// host must never be run. Systems that do not know the search flag (it came
// with an update to Windows 7) are given the full path instead.
HMODULE LoadFromSystemFolder() {
  HMODULE module = LoadLibraryExW(L"SETUPAPI.DLL", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  wchar_t path[MAX_PATH + 16];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  lstrcatW(path, L"\\SETUPAPI.DLL");
  return LoadLibraryW(path);
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The current name first, or the older one first, as each function needs.
template <typename Fn>
Fn ResolveEither(HMODULE module, const char* first, const char* second) {
  Fn fn = Resolve<Fn>(module, first);
  return fn ? fn : Resolve<Fn>(module, second);
}

}  // namespace

SetupApiLibrary::SetupApiLibrary() { Bind(); }

SetupApiLibrary::~SetupApiLibrary() { Release(); }

SetupApiLibrary& SetupApiLibrary::Instance() { return g_setupApi; }

void SetupApiLibrary::Bind() {
  if (useCount++ != 0) return;
  module = LoadFromSystemFolder();
  if (module == nullptr) {
    useCount = 0;
    return;
  }
  if (!ResolveEntryPoints()) {
    FreeLibrary(module);
    module = nullptr;
    ClearEntryPoints();
    useCount = 0;
  }
}

bool SetupApiLibrary::ResolveEntryPoints() {
  // In this order; the first that cannot be had (after its alternative)
  // leaves the library unbound.
  getDeviceInstanceId = Resolve<GetDeviceInstanceIdFn>(module, "SetupDiGetDeviceInstanceIdW");
  if (!getDeviceInstanceId) return false;
  getInterfaceDetail = ResolveEither<GetInterfaceDetailFn>(
      module, "SetupDiGetDeviceInterfaceDetailW", "SetupDiGetInterfaceDeviceDetailW");
  if (!getInterfaceDetail) return false;
  enumInterfaces = ResolveEither<EnumInterfacesFn>(module, "SetupDiEnumInterfaceDevice",
                                                   "SetupDiEnumDeviceInterfaces");
  if (!enumInterfaces) return false;
  getClassDevs = Resolve<GetClassDevsFn>(module, "SetupDiGetClassDevsW");
  if (!getClassDevs) return false;
  destroyDeviceInfoList = Resolve<DestroyDeviceInfoListFn>(module, "SetupDiDestroyDeviceInfoList");
  if (!destroyDeviceInfoList) return false;
  getRegistryProperty =
      Resolve<GetRegistryPropertyFn>(module, "SetupDiGetDeviceRegistryPropertyW");
  if (!getRegistryProperty) return false;
  enumDeviceInfo = Resolve<EnumDeviceInfoFn>(module, "SetupDiEnumDeviceInfo");
  return enumDeviceInfo != nullptr;
}

void SetupApiLibrary::ClearEntryPoints() {
  getDeviceInstanceId = nullptr;
  getInterfaceDetail = nullptr;
  enumInterfaces = nullptr;
  getClassDevs = nullptr;
  destroyDeviceInfoList = nullptr;
  getRegistryProperty = nullptr;
  enumDeviceInfo = nullptr;
}

void SetupApiLibrary::Release() {
  if (useCount == 0) return;
  if (--useCount != 0) return;
  if (module != nullptr) FreeLibrary(module);
  module = nullptr;
  ClearEntryPoints();
}

bool SetupApiLibrary::Bound() const {
  return useCount != 0 && module != nullptr && getDeviceInstanceId != nullptr &&
         getInterfaceDetail != nullptr && enumInterfaces != nullptr;
}

// Each call below fails as SetupAPI would while the library is not bound.

BOOL SetupApiLibrary::GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* info, wchar_t* buffer,
                                          DWORD size, DWORD* needed) const {
  if (!Bound()) return FALSE;
  return getDeviceInstanceId(set, info, buffer, size, needed);
}

BOOL SetupApiLibrary::GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                         SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size,
                                         DWORD* required, SP_DEVINFO_DATA* info) const {
  if (!Bound()) return FALSE;
  return getInterfaceDetail(set, data, detail, size, required, info);
}

BOOL SetupApiLibrary::EnumInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info,
                                     const GUID* interfaceClass, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA* data) const {
  if (!Bound()) return FALSE;
  return enumInterfaces(set, info, interfaceClass, index, data);
}

HDEVINFO SetupApiLibrary::GetClassDevs(const GUID* interfaceClass, DWORD flags) const {
  if (!Bound() || !getClassDevs) return INVALID_HANDLE_VALUE;
  return getClassDevs(interfaceClass, nullptr, nullptr, flags);
}

BOOL SetupApiLibrary::DestroyDeviceInfoList(HDEVINFO set) const {
  if (!Bound() || !destroyDeviceInfoList) return FALSE;
  return destroyDeviceInfoList(set);
}

BOOL SetupApiLibrary::GetRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property,
                                          DWORD* type, BYTE* buffer, DWORD size,
                                          DWORD* required) const {
  if (!Bound() || !getRegistryProperty) return FALSE;
  return getRegistryProperty(set, info, property, type, buffer, size, required);
}
