// Placeholder until the device commands land: every command is refused.
#include "interface/exports_internal.h"

namespace vozi {

bool RunDeviceCommand(OpenKymo::VoziSerial&, int32_t, CommandRecord*) { return false; }

int32_t LastErrorMessage(int32_t, char*) { return 0; }

}  // namespace vozi
