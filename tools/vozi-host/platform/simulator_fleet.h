#pragma once
// --simulate: vozi-sim instruments in a private, temporary device tree, so the
// tool runs on a machine without any instrument. Every simulator is started
// with --device-root pointing into the tree and its own serial number; the
// enabler finds them through VOZI_DEVICE_ROOT. Stop() (also run by the
// destructor) ends and reaps every simulator and removes the tree.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/played_recording.h"

namespace vozihost {

struct SimulatorOptions {
  std::filesystem::path executable;    // vozi-sim
  int count = 1;
  std::vector<std::string> extraArgs;  // given to every simulator, e.g. "--firmware=2"
};

class SimulatorFleet {
 public:
  SimulatorFleet();
  ~SimulatorFleet();
  SimulatorFleet(const SimulatorFleet&) = delete;
  SimulatorFleet& operator=(const SimulatorFleet&) = delete;

  // False on systems without pseudo-terminals (Windows).
  static bool Supported();

  // Starts the simulators and waits until each has presented its port. On
  // failure everything already started is stopped again and *error says why.
  bool Start(const SimulatorOptions& options, std::string* error);
  // Points the enabler at the tree (VOZI_DEVICE_ROOT); call before loading it.
  void ExportDeviceRoot() const;
  void Stop();

  const std::filesystem::path& DeviceRoot() const;
  const std::vector<std::string>& Serials() const;
  // With a --play argument: the recording the simulators play.
  const std::optional<PlayedRecording>& Played() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A new temporary folder "<kind>-<pid>-XXXXXX" (empty with *error when none
// can be made). Folders of that kind left by owners killed outright (their
// pid is gone) are removed first: SIGKILL leaves no chance to clean up.
std::string OwnedTempFolder(const std::string& kind, std::string* error);

// Most simulators one --simulate starts.
inline constexpr int kMaxSimulators = 16;

// USB serial number of the k-th simulator (k from 0): ZOR12<nn>5 with
// nn = 10 + k. Like an FTDI adapter's, it gains the interface letter "A" on
// the way (ZOR12105A), so the description reads 12105A. The enabler derives
// the unique identifier from the middle of that (after "ZOR", without two
// characters at each end), and nn lies in that middle.
inline std::string SimulatorSerial(int k) { return "ZOR12" + std::to_string(10 + k) + "5"; }

}  // namespace vozihost
