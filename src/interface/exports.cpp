// The sixteen functions the host calls. Each is a thin shell: find the device,
// call one operation, turn the result into the plain integer the host expects.
// Nothing is thrown across this boundary.
#include <cstring>
#include <mutex>

#include "discovery/device_probe.h"
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "startup/start_device.h"

#pragma GCC visibility push(default)
#include "vozi_enabler.h"
#pragma GCC visibility pop

namespace {

using vozi::DeviceRef;
using vozi::DeviceTable;
using OpenKymo::VoziSerial;

// {A440D267-D1C2-4C34-8EE8-A642EB10B717} in Windows GUID memory layout.
constexpr uint8_t kClassId[16] = {0x67, 0xD2, 0x40, 0xA4, 0xC2, 0xD1, 0x34, 0x4C,
                                  0x8E, 0xE8, 0xA6, 0x42, 0xEB, 0x10, 0xB7, 0x17};
constexpr char16_t kDisplayName[] = u"Vozi Devices";
constexpr char16_t kShortName[] = u"Vozi";

// Runs body and answers fallback should anything escape it.
template <typename Result, typename Body>
Result Guarded(Result fallback, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

template <typename Body>
void GuardedVoid(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// The call's hold on its device: the slot stays allocated while the call
// runs, even when CloseAll removes it meanwhile. Null for no device.
DeviceRef Slot(int32_t index) { return DeviceTable::Instance().Find(index); }

// Runs body on the device under its lifecycle lock; a device closed for good
// while the call waited for the lock answers as no device does.
template <typename Result, typename Body>
Result Exclusive(int32_t index, Result noDevice, Body body) {
  const DeviceRef slot = Slot(index);
  if (!slot) return noDevice;
  const std::lock_guard<std::mutex> held(slot->lifecycle);
  if (slot->removed) return noDevice;
  return body(slot->Device());
}

// Runs body on the device as the ring's one host-side consumer.
template <typename Result, typename Body>
Result Consuming(int32_t index, Result noDevice, Body body) {
  const DeviceRef slot = Slot(index);
  if (!slot) return noDevice;
  const std::lock_guard<std::mutex> held(slot->reads);
  return body(slot->Device());
}

}  // namespace

extern "C" {

int32_t VOZI_CALL GetDeviceClassInfo(DeviceClassInfo* info) {
  if (!info) return 0;
  std::memcpy(info->classId, kClassId, sizeof kClassId);
  info->displayName = reinterpret_cast<const uint16_t*>(kDisplayName);
  info->shortName = reinterpret_cast<const uint16_t*>(kShortName);
  return 1;
}

int32_t VOZI_CALL FindDevice(int32_t* index) {
  return Guarded<int32_t>(0, [&] {
    if (!index) return 0;
    DeviceTable& table = DeviceTable::Instance();
    const auto discovery = table.LockDiscovery();
    auto device = ProbeNextDevice();
    if (!device) return 0;
    *index = table.Append(std::move(device));
    return 1;
  });
}

int32_t VOZI_CALL Initialise(int32_t index) {
  return Guarded<int32_t>(0, [&] {
    // Two starts of one device at once would both replace its reader thread.
    return Exclusive<int32_t>(index, 0, [](VoziSerial& device) {
      if (device.IsOpen()) {
        if (!device.failed.load()) return 1;  // already running: nothing starts again
        device.Close();
      }
      return StartDevice(device, device.portName.c_str()) == kS_OK ? 1 : 0;
    });
  });
}

int32_t VOZI_CALL CloseAll(void) {
  return Guarded<int32_t>(1, [] {
    DeviceTable::Instance().DestroyAllDevices();
    return 1;
  });
}

int32_t VOZI_CALL IsFailed(int32_t index) {
  return Guarded<int32_t>(1, [&] {
    const DeviceRef slot = Slot(index);
    return slot ? (slot->Device().failed.load() ? 1 : 0) : 1;
  });
}

int32_t VOZI_CALL CanUseBaudRate(int32_t index, int32_t rate) {
  return Guarded<int32_t>(0, [&] {
    return Exclusive<int32_t>(index, 0, [&](VoziSerial& device) { return device.CanUseBaudRate(rate) ? 1 : 0; });
  });
}

void VOZI_CALL SetBaudRate(int32_t index, int32_t rate) {
  GuardedVoid([&] {
    Exclusive<bool>(index, false, [&](VoziSerial& device) { return device.SetBaudRate(rate); });
  });
}

int32_t VOZI_CALL GetBaudRate(int32_t index) {
  return Guarded<int32_t>(0, [&] {
    return Exclusive<int32_t>(index, 0, [](VoziSerial& device) { return device.GetBaudRate(); });
  });
}

int32_t VOZI_CALL ReadLine(int32_t index, char* destination, int32_t maximum, uint32_t timeoutMs) {
  return Guarded<int32_t>(0, [&] {
    if (!destination) return 0;
    return Consuming<int32_t>(index, 0, [&](VoziSerial& device) {
      return device.ReadLine(reinterpret_cast<uint8_t*>(destination), maximum, timeoutMs) ? 1 : 0;
    });
  });
}

int32_t VOZI_CALL ReadBuffer(int32_t index, char* destination, int32_t count, uint32_t timeoutMs) {
  return Guarded<int32_t>(0, [&] {
    if (!destination) return 0;
    return Consuming<int32_t>(index, 0, [&](VoziSerial& device) {
      // The count of bytes delivered stays here; the host is not told it.
      int32_t delivered = count;
      return device.ReadBuffer(reinterpret_cast<uint8_t*>(destination), delivered, timeoutMs) ? 1 : 0;
    });
  });
}

int32_t VOZI_CALL WriteBuffer(int32_t, const char*, int32_t) { return 0; }

int32_t VOZI_CALL ReadBuffSize(int32_t index) {
  return Guarded<int32_t>(0, [&] {
    const DeviceRef slot = Slot(index);
    return slot ? slot->Device().ReadBuffSize() : 0;
  });
}

void VOZI_CALL FlushReadBuffer(int32_t index) {
  GuardedVoid([&] {
    Consuming<bool>(index, false, [](VoziSerial& device) {
      device.FlushReadBuffer();
      return true;
    });
  });
}

int32_t VOZI_CALL GetUniqueID(int32_t index, int32_t* uniqueId) {
  return Guarded<int32_t>(0, [&] {
    const DeviceRef slot = Slot(index);
    if (!slot || !uniqueId) return 0;
    *uniqueId = slot->Device().uniqueId;
    return 1;
  });
}

int32_t VOZI_CALL DeviceCommand(int32_t index, int32_t code, CommandRecord* record) {
  return Guarded<int32_t>(0, [&] {
    if (!record) return 0;
    return Exclusive<int32_t>(index, 0, [&](VoziSerial& device) {
      return vozi::RunDeviceCommand(device, code, record) ? 1 : 0;
    });
  });
}

int32_t VOZI_CALL GetLastErrorMsg(int32_t index, char* destination) {
  return Guarded<int32_t>(0, [&] { return vozi::LastErrorMessage(index, destination); });
}

}  // extern "C"
