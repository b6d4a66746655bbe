// The COM name of a device instance is kept by its driver in the instance's
// "Device Parameters" key.
#include <algorithm>
#include <cwchar>
#include <vector>

#include "platform/port_walk.h"
#include "platform/win32/win32_handle.h"

bool platform::PortNameFromRegistry(const std::u16string& instanceId, std::u16string& portName) {
  portName.clear();
  const std::u16string keyPath =
      u"System\\CurrentControlSet\\Enum" + std::u16string(u"\\") + instanceId + u"\\Device Parameters";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, win32::Wide(keyPath), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, L"PortName", nullptr, nullptr, nullptr, &bytes) == ERROR_SUCCESS) {
    // The value's type plays no part: whatever it holds is read as text, up
    // to its first zero or the end of what was stored.
    std::vector<wchar_t> buffer(bytes / 2, L'\0');
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                         &size) == ERROR_SUCCESS) {
      const size_t units = std::min<size_t>(buffer.size(), size / sizeof(wchar_t));
      portName.assign(reinterpret_cast<const char16_t*>(buffer.data()), wcsnlen(buffer.data(), units));
      found = true;
    }
  }
  RegCloseKey(key);
  return found;
}
