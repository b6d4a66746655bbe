// vozi-host: a reference host for the Vozi device enabler. It loads the
// library at run time and drives it exactly as the host application does:
// GetDeviceClassInfo, FindDevice until 0, Initialise, DeviceCommand, reads,
// GetLastErrorMsg after every failure, CloseAll.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "commands.h"
#include "enabler_api.h"
#include "enabler_session.h"
#include "exit_codes.h"
#include "platform/console.h"
#include "platform/library_loader.h"
#include "platform/simulator_fleet.h"
#include "tool_paths.h"

namespace vozihost {
namespace {

struct GlobalOptions {
  std::string library;
  int simulate = 0;
  std::string sim;
  std::vector<std::string> simArgs;
};

struct Parsed {
  GlobalOptions global;
  AcquireOptions acquire;
  std::string csv, plot;
  bool list = false;
};

constexpr const char* kFooter =
    "With several instruments, acquire writes one CSV and one SVG per instrument:\n"
    "the device index goes before the extension (samples.csv -> samples-0.csv).\n"
    "The time column is sample index x period; without --period the instrument's\n"
    "first offered period is assumed (the summary warns when the rate disagrees).\n";

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
  app.add_option("--library", g.library,
                 "the enabler to load (default: libvozi.so / Vozi.kycdll beside vozi-host, in\n"
                 "../lib, or at the top of the build tree)");
  app.add_option("--simulate", g.simulate,
                 "start N simulated instruments (vozi-sim) in a temporary device tree first;\n"
                 "--simulate alone means one (Linux)")
      ->expected(0, 1)
      ->default_str("1")
      ->check(CLI::Range(1, kMaxSimulators));
  app.add_option("--sim", g.sim, "the vozi-sim executable (default: beside vozi-host)");
  app.add_option("--sim-arg", g.simArgs,
                 "an argument for every simulator, e.g. --sim-arg=--firmware=2 (repeatable)")
      ->allow_extra_args(false);
}

CLI::App* AddAcquire(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("acquire", "stream samples to CSV and an SVG plot");
  AcquireOptions& a = p.acquire;
  cmd->add_option("--device", a.devices, "instrument indices, e.g. 0,2 (default: all)")
      ->delimiter(',')
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--period", a.periodUs, "sample period in microseconds (default: keep the instrument's)")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--channels", a.channels, "channels to stream, e.g. 1,3 (default: all)")
      ->delimiter(',')
      ->check(CLI::PositiveNumber);
  cmd->add_option("--seconds", a.seconds, "stream for this long")->check(CLI::PositiveNumber);
  cmd->add_option("--samples", a.samples, "stream this many samples per instrument")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--csv", p.csv, "write the samples to this CSV file");
  cmd->add_option("--plot", p.plot, "plot every channel against time in this SVG file");
  cmd->footer("Without --seconds or --samples it streams until Ctrl-C.");
  return cmd;
}

int Usage(const std::string& message) {
  ReportError(message);
  return kExitUsage;
}

int RunCommand(const EnablerApi& api, const Parsed& p) {
  EnablerSession session(api);
  const std::string name = session.ClassName();
  const std::vector<int32_t> found = session.FindDevices();
  if (StopRequested()) return kExitInterrupted;
  if (found.empty()) {
    ReportError("no instrument found", session.LastErrorMessage(-1));
    return kExitNoInstrument;
  }
  if (p.list) return RunList(session, found, std::cout);
  std::cout << name << ": " << found.size() << (found.size() == 1 ? " instrument" : " instruments")
            << " found\n";
  return RunAcquire(session, found, p.acquire, std::cout);
}

int Run(const Parsed& p) {
  InstallStopHandler();
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
    std::cerr << "vozi-host: " << sim.count << " simulated instrument(s) in "
              << fleet.DeviceRoot().string() << "\n";
  }

  const std::filesystem::path libraryPath =
      p.global.library.empty() ? FirstExisting(LibraryCandidates(exeDir))
                               : std::filesystem::path(p.global.library);
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
  CLI::App app{"vozi-host: drives the Vozi device enabler as the host application does"};
  app.fallthrough();
  app.require_subcommand(1);
  app.footer(std::string(kFooter) + kExitCodeHelp);
  Parsed p;
  AddGlobalOptions(app, p.global);
  CLI::App* list = app.add_subcommand("list", "show every instrument found: identity, periods, channels");
  CLI::App* acquire = AddAcquire(app, p);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitUsage;
  }
  p.list = list->parsed();
  (void)acquire;
  p.acquire.csv = p.csv;
  p.acquire.plot = p.plot;
  p.acquire.progress = IsTerminal(stderr);
  return Run(p);
}
