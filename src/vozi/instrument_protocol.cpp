#include "vozi/instrument_protocol.h"

#include "vozi/handshake.h"

std::unique_ptr<LineProtocol> MakeInstrumentProtocol() { return std::make_unique<Handshake>(); }
