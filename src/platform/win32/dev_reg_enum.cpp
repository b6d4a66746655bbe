#include "platform/win32/dev_reg_enum.h"

#include <cwchar>
#include <memory>
#include <vector>

namespace {

// At most one set exists at a time; it belongs to the DevRegEnum alive.
HDEVINFO g_deviceInfoSet = INVALID_HANDLE_VALUE;

// The 32-bit sizes SetupAPI checks in cbSize.
constexpr DWORD kInterfaceDataSize = 28;
constexpr DWORD kDevInfoDataSize = 28;
constexpr DWORD kDetailHeaderSize = 6;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kInterfaceDataSize);
static_assert(sizeof(SP_DEVINFO_DATA) == kDevInfoDataSize);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == kDetailHeaderSize);

const SetupApiLibrary& Api() { return SetupApiLibrary::Instance(); }

// A zero-terminated text inside a buffer of `units` wide characters, which
// need not hold its terminator.
std::u16string TextIn(const wchar_t* text, size_t units) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), wcsnlen(text, units));
}

}  // namespace

const GUID DevRegEnum::kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

DevRegEnum::DevRegEnum()
    : interfaceClass(&kComPortInterface), classDevsFlags(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE) {
  OpenDeviceInfoSet();
}

DevRegEnum::~DevRegEnum() { CloseDeviceInfoSet(); }

void DevRegEnum::OpenDeviceInfoSet() {
  if (g_deviceInfoSet != INVALID_HANDLE_VALUE || !Api().Bound()) return;
  g_deviceInfoSet = Api().GetClassDevs(interfaceClass, classDevsFlags);
  if (g_deviceInfoSet != INVALID_HANDLE_VALUE) nextIndex = 0;
}

void DevRegEnum::CloseDeviceInfoSet() {
  if (g_deviceInfoSet == INVALID_HANDLE_VALUE) return;
  Api().DestroyDeviceInfoList(g_deviceInfoSet);
  g_deviceInfoSet = INVALID_HANDLE_VALUE;
}

bool DevRegEnum::MoveNext() {
  if (nextIndex < 0) return false;
  if (FetchItem(nextIndex)) {
    currentIndex = nextIndex;
    ++nextIndex;
    return true;
  }
  // The walk ends at the first interface that cannot be read, and stays ended.
  CloseDeviceInfoSet();
  nextIndex = -1;
  currentIndex = -1;
  return false;
}

bool DevRegEnum::GetDevicePath(std::u16string& path) {
  path = devicePath;
  return true;
}

bool DevRegEnum::FetchItem(int32_t index) {
  OpenDeviceInfoSet();
  if (!Api().Bound()) return false;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = kInterfaceDataSize;
  if (!Api().EnumInterfaces(g_deviceInfoSet, nullptr, interfaceClass, static_cast<DWORD>(index),
                            &data)) {
    return false;
  }
  SP_DEVINFO_DATA info{};
  info.cbSize = kDevInfoDataSize;
  if (!ReadDevicePath(data, info)) return false;
  if (!ReadInstanceId(info)) return false;
  // These never change the outcome of the fetch.
  ReadProperty(info, SPDRP_MFG, manufacturer);
  ReadProperty(info, SPDRP_FRIENDLYNAME, friendlyName);
  ReadProperty(info, SPDRP_DEVICEDESC, deviceDescription);
  return true;
}

bool DevRegEnum::ReadDevicePath(SP_DEVICE_INTERFACE_DATA& data, SP_DEVINFO_DATA& info) {
  DWORD required = 0;
  if (Api().GetInterfaceDetail(g_deviceInfoSet, &data, nullptr, 0, &required, nullptr) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < kDetailHeaderSize) {
    return false;
  }
  // Twice the size asked for, zero-filled: the path ends inside the buffer
  // even should the driver not terminate it.
  const size_t bytes = size_t{required} * 2;
  std::vector<wchar_t> buffer((bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = kDetailHeaderSize;
  if (!Api().GetInterfaceDetail(g_deviceInfoSet, &data, detail, required, &required, &info)) {
    return false;
  }
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  devicePath = TextIn(detail->DevicePath, (bytes - pathOffset) / sizeof(wchar_t));
  return true;
}

bool DevRegEnum::ReadInstanceId(SP_DEVINFO_DATA& info) {
  DWORD needed = 0;
  Api().GetDeviceInstanceId(g_deviceInfoSet, &info, nullptr, 0, &needed);
  std::vector<wchar_t> buffer(needed, L'\0');
  if (!Api().GetDeviceInstanceId(g_deviceInfoSet, &info, buffer.data(), needed, nullptr)) {
    return false;
  }
  instanceId = TextIn(buffer.data(), buffer.size());
  return true;
}

void DevRegEnum::ReadProperty(SP_DEVINFO_DATA& info, DWORD property, std::u16string& field) {
  DWORD type = 0;
  DWORD required = 0;
  if (!Api().GetRegistryProperty(g_deviceInfoSet, &info, property, &type, nullptr, 0, &required) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;  // absent (ERROR_INVALID_DATA) or unreadable: keep the last value
  }
  const size_t bytes = size_t{required} * 2;
  std::vector<wchar_t> buffer((bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t) + 1, L'\0');
  if (!Api().GetRegistryProperty(g_deviceInfoSet, &info, property, &type,
                                 reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(bytes),
                                 &required)) {
    return;
  }
  field = TextIn(buffer.data(), buffer.size());
}

std::unique_ptr<platform::PortEnumerator> platform::NewPortEnumerator() {
  return std::make_unique<DevRegEnum>();
}
