#include "interface/exports_internal.h"
#include "vozi/device_commands.h"

namespace vozi {

bool RunDeviceCommand(OpenKymo::VoziSerial& device, int32_t code, CommandRecord* record) {
  return handleCommand(device, code, record);
}

}  // namespace vozi
