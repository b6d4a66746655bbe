// The FTDI D2XX driver library, ftd2xx.dll, bound at run time from the system
// folder only. It tells which adapter serial number owns a COM port.
#include "platform/ftdi_driver.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/codepage.h"
#include "platform/win32/win32_handle.h"

namespace {

using FtStatus = DWORD;
using FtHandle = void*;
constexpr FtStatus kFtOk = 0;
constexpr size_t kSerialBytes = 16;
constexpr size_t kDescriptionBytes = 64;

using FtOpenFn = FtStatus(WINAPI*)(int32_t index, FtHandle* handle);
using FtGetDeviceInfoFn = FtStatus(WINAPI*)(FtHandle handle, DWORD* type, DWORD* id, char* serial,
                                            char* description, void* reserved);
using FtGetComPortNumberFn = FtStatus(WINAPI*)(FtHandle handle, LONG* portNumber);
using FtCloseFn = FtStatus(WINAPI*)(FtHandle handle);

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// <system folder>\ftd2xx.dll, never found through the search path.
HMODULE LoadFromSystemFolder() {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return nullptr;
  }
  if (!PathAppendW(path, L"ftd2xx.dll")) return nullptr;
  return LoadLibraryW(path);
}

}  // namespace

struct FtdiDriver::Binding {
  HMODULE module = nullptr;
  FtOpenFn open = nullptr;
  FtGetDeviceInfoFn getDeviceInfo = nullptr;
  FtGetComPortNumberFn getComPortNumber = nullptr;
  FtCloseFn close = nullptr;
};

FtdiDriver::FtdiDriver() {
  Binding binding;
  binding.module = LoadFromSystemFolder();
  if (binding.module == nullptr) {
    notInstalled = true;
    return;
  }
  // In this order; the first one missing makes the library unusable.
  binding.open = Resolve<FtOpenFn>(binding.module, "FT_Open");
  if (binding.open) binding.getDeviceInfo = Resolve<FtGetDeviceInfoFn>(binding.module, "FT_GetDeviceInfo");
  if (binding.getDeviceInfo) {
    binding.getComPortNumber = Resolve<FtGetComPortNumberFn>(binding.module, "FT_GetComPortNumber");
  }
  if (binding.getComPortNumber) binding.close = Resolve<FtCloseFn>(binding.module, "FT_Close");
  if (!binding.close) {
    cannotLoad = true;
    FreeLibrary(binding.module);
    return;
  }
  binding_ = std::make_unique<Binding>(binding);
}

FtdiDriver::~FtdiDriver() {
  if (binding_ && binding_->module) FreeLibrary(binding_->module);
}

namespace {

// "COM" and the number in plain decimal; -1 means the adapter has no COM port.
std::u16string ComName(LONG number) {
  std::u16string name = u"COM";
  if (number != -1) {
    const std::string digits = std::to_string(number);
    name.append(digits.begin(), digits.end());
  }
  return platform::WideLowered(name);
}

// Tested before every D2XX call: a driver that became unusable is marked so.
bool StillUsable(FtdiDriver& driver) {
  if (driver.Usable()) return true;
  driver.cannotLoad = true;
  return false;
}

// One adapter: its COM name and serial number. False ends the search.
bool ReadAdapter(FtdiDriver& driver, int32_t index, std::u16string& comName, std::string& serial) {
  FtdiDriver::Binding& d2xx = *driver.binding();
  FtHandle handle = nullptr;
  if (!StillUsable(driver) || d2xx.open(index, &handle) != kFtOk) return false;
  DWORD type = 0;
  DWORD id = 0;
  char serialBuffer[kSerialBytes] = {};
  char description[kDescriptionBytes] = {};
  LONG portNumber = 0;
  bool ok = StillUsable(driver) &&
            d2xx.getDeviceInfo(handle, &type, &id, serialBuffer, description, nullptr) == kFtOk &&
            StillUsable(driver) && d2xx.getComPortNumber(handle, &portNumber) == kFtOk;
  if (ok) {
    comName = ComName(portNumber);
    // Zero-terminated within its 16 bytes, unless the driver misbehaves.
    serial.assign(serialBuffer, strnlen(serialBuffer, kSerialBytes));
  }
  if (StillUsable(driver)) d2xx.close(handle);
  return ok;
}

}  // namespace

bool FtdiSerialForPort(FtdiDriver& driver, const std::u16string& portName, std::u16string& serial) {
  if (!driver.Usable() || portName.empty()) return false;
  const std::u16string wanted = platform::WideLowered(portName);
  // Adapter by adapter until one cannot be opened: later ones are not looked at.
  for (int32_t index = 0; index < INT32_MAX; ++index) {
    std::u16string comName;
    std::string adapterSerial;
    if (!ReadAdapter(driver, index, comName, adapterSerial)) return false;
    if (comName == wanted) {
      serial = platform::NarrowToWide(adapterSerial, platform::kCP_THREAD_ACP).value_or(u"");
      return true;
    }
  }
  return false;
}
