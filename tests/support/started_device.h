#pragma once
// A simulated instrument started in-process through StartDevice, ready for
// commands: the handshake has completed and the description is complete.
#include <memory>
#include <string>

#include "serial/vozi_serial.h"
#include "vozi_sim/instrument.h"

namespace testing_support {

struct StartedDevice {
  explicit StartedDevice(vozisim::SimConfig cfg = {}, std::u16string description = u"12345A");
  ~StartedDevice();

  // Waits (up to 3 s) until the description is complete.
  bool WaitForDescription();

  vozisim::Instrument sim;
  std::unique_ptr<OpenKymo::VoziSerial> device;
  bool started = false;
};

}  // namespace testing_support
