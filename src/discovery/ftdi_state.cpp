#include "discovery/ftdi_state.h"

#include "discovery/discovery_state.h"

FtdiDriverFlags CurrentFtdiDriverFlags() {
  const FtdiDriver* driver = CurrentFtdiDriver();
  if (!driver) return {};
  return FtdiDriverFlags{true, driver->notInstalled, driver->cannotLoad};
}
