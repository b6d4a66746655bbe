// Placeholder until discovery exposes its FTDI driver: no driver object.
#include "discovery/ftdi_state.h"

FtdiDriverFlags CurrentFtdiDriverFlags() { return {}; }
