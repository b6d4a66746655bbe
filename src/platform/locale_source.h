#pragma once
// The user's regional settings, read one value at a time the way
// GetLocaleInfoW / GetLocaleInfoA read them for LOCALE_USER_DEFAULT: with a
// size of 0 the result is the size needed (terminator included); otherwise
// the value is written, terminated, and the result is the number of units
// written, or 0 when it does not fit or the value is unknown. On Linux the
// values come from the C library's data for the user's locale.
#include <cstdint>

namespace platform {

inline constexpr uint32_t kLOCALE_SLIST = 0x0C;
inline constexpr uint32_t kLOCALE_IDEFAULTCODEPAGE = 0x0B;
inline constexpr uint32_t kLOCALE_SDECIMAL = 0x0E;
inline constexpr uint32_t kLOCALE_STHOUSAND = 0x0F;
inline constexpr uint32_t kLOCALE_SDATE = 0x1D;
inline constexpr uint32_t kLOCALE_STIME = 0x1E;
inline constexpr uint32_t kLOCALE_SSHORTDATE = 0x1F;
inline constexpr uint32_t kLOCALE_SLONGDATE = 0x20;
inline constexpr uint32_t kLOCALE_ITIME = 0x23;
inline constexpr uint32_t kLOCALE_S1159 = 0x28;
inline constexpr uint32_t kLOCALE_S2359 = 0x29;
inline constexpr uint32_t kLOCALE_STIMEFORMAT = 0x1003;
inline constexpr uint32_t kLOCALE_ITIMEMARKPOSN = 0x1005;

int UserLocaleInfo(uint32_t type, char16_t* buffer, int size);
int UserLocaleInfoNarrow(uint32_t type, char* buffer, int size);

}  // namespace platform
