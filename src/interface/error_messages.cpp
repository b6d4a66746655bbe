#include "interface/error_messages.h"

#include <string_view>

#include "discovery/ftdi_state.h"
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "text/narrow_copy.h"

namespace vozi {
namespace {

// The message for no particular device: the first rule that applies.
std::u16string_view GeneralMessage() {
  const DeviceTable& table = DeviceTable::Instance();
  if (table.Count() == 0) {
    const FtdiDriverFlags driver = CurrentFtdiDriverFlags();
    if (driver.exists && driver.notInstalled) return kMessageDriverNotInstalled;
    if (driver.exists && driver.cannotLoad) return kMessageDriverCannotLoad;
    return kMessageNotFound;
  }
  // Only the last device of the table counts.
  const OpenKymo::VoziSerial* last = table.Last();
  if (last && last->firmwareWrong.load()) return kMessageWrongFirmware;
  if (last && last->notResponding.load()) return kMessageNotRespondingRestart;
  return kMessageNotResponding;
}

int32_t LengthPlusOne(std::u16string_view text) { return static_cast<int32_t>(text.size()) + 1; }

}  // namespace

int32_t LastErrorMessage(int32_t index, char* destination) {
  if (index != -1) {
    OpenKymo::VoziSerial* device = DeviceTable::Instance().Find(index);
    if (!device) return 0;
    const NRV::String text = device->lastError;
    const int32_t result = LengthPlusOne(text.View());
    if (destination) {
      NarrowCopyToHost(text.View(), destination, result);
      device->lastError = NRV::String();
    }
    return result;
  }
  const std::u16string_view text = GeneralMessage();
  const int32_t result = LengthPlusOne(text);
  if (destination) NarrowCopyToHost(text, destination, result);
  return result;
}

}  // namespace vozi
