#include "session/channel_scaling.h"

namespace vozihost {

double ToPhysical(int32_t decoded, const ChannelInfo& channel) {
  if (!channel.Scaled()) return decoded;
  const double low = *channel.minimum;
  const double high = *channel.maximum;
  if (high == low) return low;
  return decoded / kFullScale * (high - low) + low;
}

double ScaleStep(const ChannelInfo& channel) {
  if (!channel.Scaled()) return 1.0;
  return (static_cast<double>(*channel.maximum) - *channel.minimum) / kFullScale;
}

}  // namespace vozihost
