#pragma once
// The way back from the enabler's 0..32767 integers to physical units.
#include <cstdint>

#include "session/device_info.h"

namespace vozihost {

// The full scale the enabler maps a channel's range onto.
inline constexpr double kFullScale = 32767.0;

// A scaled channel: decoded / 32767 * (max - min) + min. An instrument's
// "na" range arrives as -32767..32767 and needs nothing special. A range
// whose ends are equal cannot be scaled; the enabler's integer says nothing
// then and the value is that one end. A channel without a range: the integer
// is the value itself.
double ToPhysical(int32_t decoded, const ChannelInfo& channel);

// One step of the scale: the resolution of a scaled channel.
double ScaleStep(const ChannelInfo& channel);

}  // namespace vozihost
