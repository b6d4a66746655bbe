#pragma once
// What a command built on acquire (publish) adds around the acquisition.
// acquire itself runs without hooks.
#include <chrono>
#include <optional>
#include <ostream>
#include <vector>

#include "session/acquisition.h"

namespace vozihost {

class AcquireHooks {
 public:
  virtual ~AcquireHooks() = default;
  // Every chosen instrument is started and described (`failure` empty),
  // nothing streams yet. An exit code ends the command here.
  virtual std::optional<int> Ready(std::vector<DeviceStream>& streams, bool filesWanted) = 0;
  // Streaming has begun for those `started`.
  virtual void Started(std::vector<DeviceStream>& streams, std::chrono::system_clock::time_point start) = 0;
  // The run has ended and the instruments are stopped.
  virtual void Ended(std::vector<DeviceStream>& streams, RunEnd end) = 0;
  // After acquire's summary (whether or not it got as far as streaming):
  // the hooks' own lines on `out`, and the exit code given acquire's.
  virtual int Finish(int acquireCode, std::ostream& out) = 0;
};

}  // namespace vozihost
