#pragma once
// Rates that have no Bnnn constant go through termios2 (BOTHER). Kept apart:
// <asm/termbits.h> clashes with glibc's <termios.h>.
#include <cstdint>

namespace platform {
bool SetCustomBaudRate(int fd, int32_t rate);
}
