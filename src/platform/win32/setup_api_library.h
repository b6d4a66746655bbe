#pragma once
// SETUPAPI.DLL, bound at run time: the library is taken from the system
// folder once, by the library's static set-up, and released at unload. Every
// call goes through here and behaves as a failed call while it is not bound.
#include "platform/win32/win32_handle.h"

#include <setupapi.h>

#include <cstdint>

class SetupApiLibrary {
 public:
  // Binds, as the first user.
  SetupApiLibrary();
  // Releases that use.
  ~SetupApiLibrary();
  SetupApiLibrary(const SetupApiLibrary&) = delete;
  SetupApiLibrary& operator=(const SetupApiLibrary&) = delete;

  // The one instance, bound before the library's entry point runs.
  static SetupApiLibrary& Instance();

  void Bind();
  void Release();
  bool Bound() const;

  BOOL GetDeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* info, wchar_t* buffer, DWORD size,
                           DWORD* needed) const;
  BOOL GetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                          SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD size, DWORD* required,
                          SP_DEVINFO_DATA* info) const;
  BOOL EnumInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* interfaceClass, DWORD index,
                      SP_DEVICE_INTERFACE_DATA* data) const;
  HDEVINFO GetClassDevs(const GUID* interfaceClass, DWORD flags) const;
  BOOL DestroyDeviceInfoList(HDEVINFO set) const;
  BOOL GetRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property, DWORD* type,
                           BYTE* buffer, DWORD size, DWORD* required) const;

  using GetDeviceInstanceIdFn = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, wchar_t*, DWORD, DWORD*);
  using GetInterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, SP_DEVICE_INTERFACE_DATA*,
                                             SP_DEVICE_INTERFACE_DETAIL_DATA_W*, DWORD, DWORD*,
                                             SP_DEVINFO_DATA*);
  using EnumInterfacesFn = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, const GUID*, DWORD,
                                         SP_DEVICE_INTERFACE_DATA*);
  using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, const wchar_t*, HWND, DWORD);
  using DestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
  using GetRegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, SP_DEVINFO_DATA*, DWORD, DWORD*, BYTE*,
                                              DWORD, DWORD*);
  using EnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, SP_DEVINFO_DATA*);

  int32_t useCount = 0;
  HMODULE module = nullptr;
  GetDeviceInstanceIdFn getDeviceInstanceId = nullptr;
  GetInterfaceDetailFn getInterfaceDetail = nullptr;
  EnumInterfacesFn enumInterfaces = nullptr;
  GetClassDevsFn getClassDevs = nullptr;
  DestroyDeviceInfoListFn destroyDeviceInfoList = nullptr;
  GetRegistryPropertyFn getRegistryProperty = nullptr;
  // Required for the binding, never called.
  EnumDeviceInfoFn enumDeviceInfo = nullptr;

 private:
  bool ResolveEntryPoints();
  void ClearEntryPoints();
};
