// vozi-host: a reference host for the Vozi device enabler. It loads the
// library at run time and drives it exactly as the host application does:
// GetDeviceClassInfo, FindDevice until 0, Initialise, DeviceCommand, reads,
// GetLastErrorMsg after every failure, CloseAll. Its command line is read in
// command_line.cpp; each command lives in its own file.
#include <cstdio>
#include <iostream>

#include "commands/command_line.h"
#include "commands/commands.h"
#include "session/enabler_api.h"
#include "session/enabler_session.h"
#include "commands/exit_codes.h"
#include "commands/monitor_command.h"
#include "platform/console.h"
#include "platform/library_loader.h"
#include "platform/simulator_fleet.h"
#include "publish/publish_command.h"
#include "record/mark_command.h"
#include "record/record_command.h"
#include "commands/tool_paths.h"

namespace vozihost {
namespace {

int RunCommand(const EnablerApi& api, const Parsed& p) {
  EnablerSession session(api);
  const std::string name = session.ClassName();
  const std::vector<int32_t> found = session.FindDevices();
  if (StopRequested()) return kExitInterrupted;
  if (found.empty()) {
    ReportError("no instrument found", session.LastErrorMessage(-1));
    if (p.global.simulate == 0) {
      std::fputs("vozi-host: to try the tool without an instrument: vozi-host --simulate list\n", stderr);
    }
    return kExitNoInstrument;
  }
  if (p.isList) return RunList(session, found, p.list, std::cout);
  // With the CSV on standard output, everything else goes to standard error.
  std::ostream& out = p.acquire.csv == "-" ? std::cerr : std::cout;
  out << name << ": " << found.size() << (found.size() == 1 ? " instrument" : " instruments") << " found\n";
  if (p.isPublish) return RunPublish(session, found, p.acquire, p.broker, out);
  if (p.isMonitor) return RunMonitor(session, found, p.acquire, p.broker, p.monitor, out);
  return RunAcquire(session, found, p.acquire, out);
}

int Run(Parsed& p) {
  const std::filesystem::path exeDir = ExecutableDirectory();
  SimulatorFleet fleet;
  if (p.global.simulate > 0) {
    if (!SimulatorFleet::Supported()) return Usage("--simulate needs Linux");
    SimulatorOptions sim;
    sim.executable = p.global.sim.empty() ? FirstExisting(SimulatorCandidates(exeDir))
                                             : std::filesystem::path(p.global.sim);
    sim.count = p.global.simulate;
    sim.extraArgs = p.global.simArgs;
    std::string error;
    if (!fleet.Start(sim, &error)) {
      ReportError(error);
      return kExitSimulator;
    }
    fleet.ExportDeviceRoot();
    p.list.deviceRoot = p.acquire.deviceRoot = fleet.DeviceRoot();
    p.acquire.played = fleet.Played();
    std::cerr << "vozi-host: " << sim.count << " simulated instrument(s) in "
              << fleet.DeviceRoot().string() << "\n";
  }

  const std::filesystem::path libraryPath =
      p.global.library.empty() ? FirstExisting(LibraryCandidates(exeDir))
                               : std::filesystem::path(p.global.library);
  // The library reads VOZI_TRACE as it loads.
  if (!p.global.trace.empty()) SetLibraryTraceFile(p.global.trace);
  std::string error;
  std::unique_ptr<SharedLibrary> library = SharedLibrary::Open(libraryPath, &error);
  if (!library) {
    ReportError("cannot load " + libraryPath.string() + ": " + error);
    return kExitNoLibrary;
  }
  EnablerApi api;
  if (!api.Bind(*library, &error)) {
    ReportError(libraryPath.string() + ": " + error);
    return kExitNoLibrary;
  }
  const int status = RunCommand(api, p);
  // The library goes before the simulators: its CloseAll has told them
  // goodbye, and its reader threads must not see their ports vanish first.
  library.reset();
  fleet.Stop();
  return status;
}

}  // namespace
}  // namespace vozihost
int main(int argc, char** argv) {
  using namespace vozihost;
  InstallStopHandler();
  Parsed p;
  if (const std::optional<int> status = ParseCommandLine(argc, argv, p)) return *status;
  // Recording reads a broker: no enabler, no instruments.
  if (p.isRecord) return RunRecord(p.record, p.broker, std::cout);
  if (p.isMark) return RunMark(p.mark, p.broker, std::cout);
  return Run(p);
}
