#include "interface/error_messages.h"

#include <mutex>
#include <string_view>

#include "discovery/ftdi_state.h"
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "text/narrow_copy.h"

namespace vozi {
namespace {

// The message for no particular device: the first rule that applies.
std::u16string_view GeneralMessage() {
  DeviceTable& table = DeviceTable::Instance();
  // Only the last device of the table counts.
  const DeviceRef last = table.Last();
  if (!last) {
    FtdiDriverFlags driver;
    {
      const auto discovery = table.LockDiscovery();
      driver = CurrentFtdiDriverFlags();
    }
    if (driver.exists && driver.notInstalled) return kMessageDriverNotInstalled;
    if (driver.exists && driver.cannotLoad) return kMessageDriverCannotLoad;
    return kMessageNotFound;
  }
  if (last->Device().firmwareWrong.load()) return kMessageWrongFirmware;
  if (last->Device().notResponding.load()) return kMessageNotRespondingRestart;
  return kMessageNotResponding;
}

// A device's own error text is taken and cleared by the host's calls only;
// two such calls at once must not tear it.
std::mutex g_lastErrorLock;

int32_t LengthPlusOne(std::u16string_view text) { return static_cast<int32_t>(text.size()) + 1; }

}  // namespace

int32_t LastErrorMessage(int32_t index, char* destination) {
  if (index != -1) {
    const DeviceRef slot = DeviceTable::Instance().Find(index);
    if (!slot) return 0;
    OpenKymo::VoziSerial& device = slot->Device();
    const std::lock_guard<std::mutex> held(g_lastErrorLock);
    const NRV::String text = device.lastError;
    const int32_t result = LengthPlusOne(text.View());
    if (destination) {
      NarrowCopyToHost(text.View(), destination, result);
      device.lastError = NRV::String();
    }
    return result;
  }
  const std::u16string_view text = GeneralMessage();
  const int32_t result = LengthPlusOne(text);
  if (destination) NarrowCopyToHost(text, destination, result);
  return result;
}

}  // namespace vozi
