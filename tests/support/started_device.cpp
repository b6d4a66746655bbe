#include "support/started_device.h"

#include <chrono>
#include <thread>

#include "startup/start_device.h"
#include "vozi/device_description.h"

namespace testing_support {

StartedDevice::StartedDevice(vozisim::SimConfig cfg, std::u16string description) : sim(std::move(cfg)) {
  if (!sim.Start()) return;
  const std::u16string path(sim.SlavePath().begin(), sim.SlavePath().end());
  device = std::make_unique<OpenKymo::VoziSerial>(path.c_str(), 130, std::move(description));
  started = StartDevice(*device, device->portName.c_str()) == kS_OK;
}

StartedDevice::~StartedDevice() {
  device.reset();  // closes before the instrument goes away
  sim.Stop();
}

bool StartedDevice::WaitForDescription() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline) {
    auto d = device ? device->Description() : nullptr;
    if (d && d->IsComplete()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

}  // namespace testing_support
