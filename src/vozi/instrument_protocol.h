#pragma once
// The line protocol a Vozi device's reader thread runs. Each device gets its
// own instance: the decoder keeps per-line scratch space.
#include <memory>

#include "serial/line_protocol.h"

std::unique_ptr<LineProtocol> MakeInstrumentProtocol();
