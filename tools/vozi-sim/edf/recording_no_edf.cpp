// Built without libedf: EDF+/BDF+ recordings cannot be read.
#include "vozi_sim/recording.h"

namespace vozisim {

std::optional<std::string> ReadEdfRecording(const std::string&, Recording& out) {
  out = Recording{};
  return std::string("this vozi-sim was built without libedf: play the recording's CSV instead");
}

}  // namespace vozisim
