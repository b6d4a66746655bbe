// Placeholder until the port walk lands: no instrument is ever found.
#include "discovery/device_probe.h"

std::unique_ptr<OpenKymo::VoziSerial> ProbeNextDevice() { return nullptr; }

void ReleaseDiscovery() {}

int32_t UniqueIdFromSerial(const std::u16string&) { return 0; }

#include "discovery/ftdi_state.h"

FtdiDriverFlags CurrentFtdiDriverFlags() { return {}; }
