#pragma once
// The walk over the COM-port device interfaces present on the machine,
// through SetupAPI. The set of interfaces is process-wide, and belongs to the
// one DevRegEnum alive.
#include <cstdint>
#include <string>

#include "platform/port_walk.h"
#include "platform/win32/setup_api_library.h"

class DevRegEnum final : public platform::PortEnumerator {
 public:
  // Opens the set of present COM-port interfaces.
  DevRegEnum();
  // Discards the set.
  ~DevRegEnum() override;

  bool MoveNext() override;
  bool GetDevicePath(std::u16string& path) override;
  std::u16string GetInstanceId() override { return instanceId; }
  std::u16string GetFriendlyName() override { return friendlyName; }
  std::u16string GetManufacturer() override { return manufacturer; }
  bool FetchItem(int32_t index) override;

  // Registry properties and identity of the interface fetched last. A
  // property an interface lacks leaves the previous value in place.
  std::u16string friendlyName;
  std::u16string deviceDescription;
  std::u16string manufacturer;
  std::u16string instanceId;
  std::u16string devicePath;
  const GUID* interfaceClass;
  DWORD classDevsFlags;
  int32_t nextIndex = -1;     // fetched by the next MoveNext; -1 when none
  int32_t currentIndex = 0;   // fetched last; -1 after the end

  // GUID_DEVINTERFACE_COMPORT.
  static const GUID kComPortInterface;

 private:
  void OpenDeviceInfoSet();
  void CloseDeviceInfoSet();
  bool ReadDevicePath(SP_DEVICE_INTERFACE_DATA& data, SP_DEVINFO_DATA& info);
  bool ReadInstanceId(SP_DEVINFO_DATA& info);
  void ReadProperty(SP_DEVINFO_DATA& info, DWORD property, std::u16string& field);
};
