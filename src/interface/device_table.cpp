#include "interface/device_table.h"

#include <new>

#include "discovery/device_probe.h"
#include "serial/command_frame.h"

namespace vozi {

DeviceTable& DeviceTable::Instance() {
  // Never destroyed. On Linux the C++ run-time destroys function-local
  // statics at exit before the library's own detach runs, and that detach
  // still needs the table; the detach empties it and releases its storage
  // itself. Kept in the library's own storage rather than on the heap, so
  // that unloading leaves nothing behind.
  alignas(DeviceTable) static unsigned char storage[sizeof(DeviceTable)];
  static DeviceTable* const table = new (storage) DeviceTable;
  return *table;
}

DeviceRef DeviceTable::Find(int32_t index) const {
  const std::lock_guard<std::mutex> held(lock_);
  if (index < 0 || static_cast<size_t>(index) >= slots_.size()) return nullptr;
  return slots_[static_cast<size_t>(index)];
}

int32_t DeviceTable::Append(std::unique_ptr<OpenKymo::VoziSerial> device) {
  auto slot = std::make_shared<DeviceSlot>(std::move(device));
  const std::lock_guard<std::mutex> held(lock_);
  slots_.push_back(std::move(slot));
  return static_cast<int32_t>(slots_.size()) - 1;
}

DeviceRef DeviceTable::Last() const {
  const std::lock_guard<std::mutex> held(lock_);
  return slots_.empty() ? nullptr : slots_.back();
}

void DeviceTable::DestroyAllDevices() {
  std::vector<DeviceRef> taken;
  {
    // Swapped out rather than cleared, so the storage goes as well.
    const std::lock_guard<std::mutex> held(lock_);
    taken.swap(slots_);
  }
  // Every start-up in flight learns first that its device is going, so that
  // each ends at once rather than one after the other at their limits.
  for (const DeviceRef& slot : taken) {
    if (slot.use_count() > 1) slot->Device().closing.store(true);
  }
  while (!taken.empty()) {
    DeviceRef slot = std::move(taken.back());
    taken.pop_back();
    // Only calls that found the slot before it left the table can still hold
    // it, and they only let go: a count of one stays one.
    if (slot.use_count() > 1) {
      // Waits for a call that holds the lifecycle lock (a start-up ends at
      // once, told by `closing`; the others are bounded by their own
      // time-outs); a read in flight goes on with the device's ring and
      // events until the close below ends its wait, and frees the device
      // as it ends.
      const std::lock_guard<std::mutex> held(slot->lifecycle);
      slot->removed = true;
      slot->Device().Close();
    }
    slot.reset();  // the last reference: the device's destructor closes it
  }
  const auto discovery = LockDiscovery();
  ReleaseDiscovery();
}

void DeviceTable::StopInstrumentsAtProcessEnd() {
  // A thread that was ended while it held a lock keeps it for ever, and the
  // heap may be in any state: use neither. Nothing else runs any more.
  for (auto slot = slots_.rbegin(); slot != slots_.rend(); ++slot) {
    OpenKymo::VoziSerial& device = (*slot)->Device();
    if (device.IsOpen()) SendCommand(device.Transmitter(), "X");
  }
}

}  // namespace vozi
