// Each FindDevice continues one walk over the serial ports and stops at the
// first whose adapter carries a Vozi serial number. Nothing is sent to the
// instrument and its port is not opened here.
#include "discovery/device_probe.h"

#include <new>

#include "discovery/discovery_state.h"
#include "discovery/serial_number.h"
#include "platform/ftdi_driver.h"
#include "platform/port_walk.h"

namespace {

// Kept between FindDevice calls; used by one call at a time (the exports
// hold their discovery lock around every use).
struct DiscoveryState {
  std::unique_ptr<FtdiDriver> ftdiDriver;
  std::unique_ptr<platform::PortEnumerator> enumerator;
};

DiscoveryState& State() {
  // Never destroyed: on Linux the C++ run-time destroys function-local
  // statics at exit before the library's detach runs, and the detach
  // releases this state itself (ReleaseDiscovery). Kept in the library's
  // own storage, so that unloading leaves nothing behind.
  alignas(DiscoveryState) static unsigned char storage[sizeof(DiscoveryState)];
  static DiscoveryState* const state = new (storage) DiscoveryState;
  return *state;
}

// The adapter serial number of the current interface: from its instance ID,
// or, when that holds none, from the FTDI driver for the port's name.
std::u16string CandidateSerial(platform::PortEnumerator& enumerator, FtdiDriver& driver) {
  const std::u16string instanceId = enumerator.GetInstanceId();
  std::u16string candidate = instanceId;
  enumerator.ExtractSerial(candidate, u'+');
  if (!candidate.empty()) return candidate;

  std::u16string portName;
  enumerator.LookUpPortName(instanceId, portName);
  std::u16string serial;
  if (FtdiSerialForPort(driver, portName, serial)) return serial;
  return {};
}

// The device for the current interface, or null when the object cannot be
// had; the walk stays where it is.
std::unique_ptr<OpenKymo::VoziSerial> CreateDevice(platform::PortEnumerator& enumerator,
                                                   const std::u16string& remainder) {
  std::u16string devicePath;
  enumerator.GetDevicePath(devicePath);
  const int32_t uniqueId = UniqueIdFromSerial(remainder);
  try {
    return std::make_unique<OpenKymo::VoziSerial>(devicePath.c_str(), uniqueId, remainder);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<OpenKymo::VoziSerial> ProbeNextDevice() {
  DiscoveryState& state = State();
  if (!state.ftdiDriver) state.ftdiDriver = std::make_unique<FtdiDriver>();
  // Without a usable driver no port is examined, and the driver object stays
  // with its flags for the error message until every device is destroyed.
  if (!state.ftdiDriver->Usable()) return nullptr;

  if (!state.enumerator) state.enumerator = platform::NewPortEnumerator();
  while (state.enumerator->MoveNext()) {
    const std::u16string candidate = CandidateSerial(*state.enumerator, *state.ftdiDriver);
    if (auto remainder = discovery::VoziRemainder(candidate)) {
      // The walk stays on this interface: the next call goes on after it.
      return CreateDevice(*state.enumerator, *remainder);
    }
  }
  ReleaseDiscovery();
  return nullptr;
}

void ReleaseDiscovery() {
  DiscoveryState& state = State();
  state.enumerator.reset();
  state.ftdiDriver.reset();
}

const FtdiDriver* CurrentFtdiDriver() { return State().ftdiDriver.get(); }
