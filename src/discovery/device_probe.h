#pragma once
// Finding instruments: each call continues one walk over the serial ports and
// stops at the first whose USB adapter carries a Vozi serial number.
#include <cstdint>
#include <memory>
#include <string>

#include "serial/vozi_serial.h"

// The next Vozi instrument of the current walk, or null when the walk ended
// (the discovery state is then released) or cannot run (no FTDI driver).
std::unique_ptr<OpenKymo::VoziSerial> ProbeNextDevice();

// Ends the current walk and unloads the FTDI driver.
void ReleaseDiscovery();

// The identifier derived from a serial number without its first three
// characters.
int32_t UniqueIdFromSerial(const std::u16string& remainder);
