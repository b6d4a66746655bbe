#pragma once
// Tells when hosts open and close the slave side of the pseudo-terminal.
// A terminal does not report that; inotify does, for the device node.
#include <string>

namespace vozisim {

class OpenWatcher {
 public:
  OpenWatcher() = default;
  ~OpenWatcher();
  OpenWatcher(const OpenWatcher&) = delete;
  OpenWatcher& operator=(const OpenWatcher&) = delete;

  // Starts watching; call after the simulator's own descriptor is open.
  // False when inotify is not available: then a host counts as always there.
  bool Watch(const std::string& path);
  void Stop();

  // Descriptor to poll for readability; -1 when not watching.
  int Fd() const { return fd_; }

  enum class Change { None, FirstOpened, LastClosed };
  // Reads the pending events and reports how the number of host
  // descriptors changed, looking only at the state after all of them.
  Change Process();
  bool HostPresent() const { return fd_ < 0 || opens_ > 0; }

 private:
  int fd_ = -1;
  long opens_ = 0;
};

}  // namespace vozisim
