#pragma once
// Operations behind the text-producing exports, kept out of exports.cpp so
// that the export shells stay thin.
#include <cstdint>

#include "serial/vozi_serial.h"

struct CommandRecord;

namespace vozi {

// DeviceCommand: the device's command handler with the host's record.
bool RunDeviceCommand(OpenKymo::VoziSerial& device, int32_t code, CommandRecord* record);

// GetLastErrorMsg: the message length + 1, and the message when destination
// is not null.
int32_t LastErrorMessage(int32_t index, char* destination);

void OnProcessAttach(void* module);
// processEnding: the whole process ends and every other thread is already
// gone (Windows at process exit); false when the library is unloaded from a
// running process, and on Linux, where the other threads still run.
void OnProcessDetach(bool processEnding);

}  // namespace vozi
