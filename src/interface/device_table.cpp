#include "interface/device_table.h"

#include "discovery/device_probe.h"

namespace vozi {

DeviceTable& DeviceTable::Instance() {
  static DeviceTable table;
  return table;
}

OpenKymo::VoziSerial* DeviceTable::Find(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return devices_[static_cast<size_t>(index)].get();
}

int32_t DeviceTable::Append(std::unique_ptr<OpenKymo::VoziSerial> device) {
  devices_.push_back(std::move(device));
  return Count() - 1;
}

void DeviceTable::DestroyAllDevices() {
  const size_t count = devices_.size();
  for (size_t i = 0; i < count; ++i) devices_.pop_back();  // each closes its device
  ReleaseDiscovery();
}

}  // namespace vozi
