#pragma once
// What the last discovery left behind for the error messages: the FTDI driver
// object, kept after a driver failure until every device is destroyed.
#include "platform/ftdi_driver.h"

// The discovery state's FTDI driver, or null when none exists (no search ran,
// or the last pass ended and released it).
const FtdiDriver* CurrentFtdiDriver();
