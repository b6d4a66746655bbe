#pragma once
// The code page of every narrow text exchanged with the host: the user's
// default OEM code page on Windows, the user's locale codeset on Linux.
#include <cstdint>

uint32_t HostCodePage();
