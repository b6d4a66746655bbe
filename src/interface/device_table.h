#pragma once
// The process-wide list of devices that every per-device export addresses by
// index. Entries are only appended, and all are destroyed together.
//
// The host is meant to make one call at a time, but nothing enforces that, so
// a call that overlaps another must do no harm:
// - each call holds a reference to its device's slot for as long as it runs:
//   a device that CloseAll removes meanwhile is closed at once but stays
//   allocated until the last such call has finished;
// - the list itself is read and changed under a lock held only for a moment;
// - calls that start, close or configure a device or write to its port take
//   the slot's lifecycle lock, one at a time; host-side reads of the receive
//   ring take the slot's read lock, one consumer at a time;
// - the discovery state is used under a lock of its own.
// Uncontended, a call pays one lock and one reference count: nothing a host
// that makes one call at a time can notice.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/vozi_serial.h"

namespace vozi {

class DeviceSlot {
 public:
  explicit DeviceSlot(std::unique_ptr<OpenKymo::VoziSerial> device) : device_(std::move(device)) {}

  OpenKymo::VoziSerial& Device() { return *device_; }

  // Held by Initialise, the baud-rate calls, DeviceCommand and the close.
  std::mutex lifecycle;
  // Set under `lifecycle` once the device was closed for good: a call that
  // waited for the lock meanwhile then answers as for no device.
  bool removed = false;
  // Held by ReadLine, ReadBuffer and FlushReadBuffer.
  std::mutex reads;

 private:
  // Destroyed (closed again, which finds nothing left to do, and freed) with
  // the last reference.
  std::unique_ptr<OpenKymo::VoziSerial> device_;
};

using DeviceRef = std::shared_ptr<DeviceSlot>;

class DeviceTable {
 public:
  static DeviceTable& Instance();

  // The slot at index, or null for an index outside the table (negative or
  // not below the count).
  DeviceRef Find(int32_t index) const;
  // Appends a device and returns its index.
  int32_t Append(std::unique_ptr<OpenKymo::VoziSerial> device);
  // The last slot, or null when the table is empty.
  DeviceRef Last() const;

  // Held around everything that uses the discovery state (the walk and the
  // FTDI driver object): FindDevice, its release, the driver's flags.
  std::unique_lock<std::mutex> LockDiscovery() { return std::unique_lock<std::mutex>(discoveryLock_); }

  // Destroys every device, the last first, then releases the discovery state
  // so that the next search starts afresh. A device still used by a call in
  // flight is closed now and freed when that call ends.
  void DestroyAllDevices();

  // At process exit, when every other thread is already gone: tells each
  // started instrument to stop, and takes no lock and frees nothing.
  void StopInstrumentsAtProcessEnd();

 private:
  DeviceTable() = default;
  ~DeviceTable() = delete;

  mutable std::mutex lock_;
  std::vector<DeviceRef> slots_;
  std::mutex discoveryLock_;
};

}  // namespace vozi
