#include "platform/simulator_fleet.h"

// vozi-sim serves its instrument on a Linux pseudo-terminal; there is no such
// thing to start on Windows (the Wine tests map a Linux simulator to a COM
// port from outside instead).

namespace vozihost {

struct SimulatorFleet::Impl {
  std::filesystem::path root;
  std::vector<std::string> serials;
  std::optional<PlayedRecording> played;
};

SimulatorFleet::SimulatorFleet() : impl_(std::make_unique<Impl>()) {}
SimulatorFleet::~SimulatorFleet() = default;

bool SimulatorFleet::Supported() { return false; }

bool SimulatorFleet::Start(const SimulatorOptions&, std::string* error) {
  *error = "--simulate needs Linux (vozi-sim runs on a pseudo-terminal)";
  return false;
}

void SimulatorFleet::ExportDeviceRoot() const {}
void SimulatorFleet::Stop() {}
const std::filesystem::path& SimulatorFleet::DeviceRoot() const { return impl_->root; }
const std::vector<std::string>& SimulatorFleet::Serials() const { return impl_->serials; }
const std::optional<PlayedRecording>& SimulatorFleet::Played() const { return impl_->played; }

}  // namespace vozihost
