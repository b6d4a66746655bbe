#pragma once
// The process-wide list of devices that every per-device export addresses by
// index. Entries are only appended, and all are destroyed together.
#include <cstdint>
#include <memory>
#include <vector>

#include "serial/vozi_serial.h"

namespace vozi {

class DeviceTable {
 public:
  static DeviceTable& Instance();

  // The device at index, or null for an index outside the table (negative or
  // not below the count) and for a null entry.
  OpenKymo::VoziSerial* Find(int32_t index) const;
  // Appends a device and returns its index.
  int32_t Append(std::unique_ptr<OpenKymo::VoziSerial> device);
  int32_t Count() const { return static_cast<int32_t>(devices_.size()); }
  OpenKymo::VoziSerial* Last() const { return devices_.empty() ? nullptr : devices_.back().get(); }

  // Destroys every device, the last first, then releases the discovery state
  // so that the next search starts afresh.
  void DestroyAllDevices();

 private:
  std::vector<std::unique_ptr<OpenKymo::VoziSerial>> devices_;
};

}  // namespace vozi
