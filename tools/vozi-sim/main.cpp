// vozi-sim: a simulated Vozi instrument on a pseudo-terminal.
//
// Prints the slave path on the first line of stdout, then serves the line
// protocol until SIGINT or SIGTERM (or "X" with --exit-on-x). With
// --device-root it also presents the instrument in a fake sysfs/dev tree,
// and prints the tty name ("ttyUSB<m>") on a second line.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>

#include "vozi_sim/device_tree.h"
#include "vozi_sim/instrument.h"
#include "vozi_sim/recording.h"
#include "vozi_sim/replay_instrument.h"
#include "vozi_sim/trace_file.h"

namespace {

struct Options {
  std::string configFile;
  std::string link;
  std::string deviceRoot;
  std::string logFile;
  bool exitOnX = false;
  std::string replayFile;
  double speed = 1.0;
  std::string replayDevice;
  std::string playFile;
  bool loop = false;
  vozisim::UsbSerialPortSpec port;
  std::map<std::string, std::string> keys;  // config keys given on the command line
};

void AddConfigKeys(CLI::App& app, Options& o) {
  for (const vozisim::OptionInfo& info : vozisim::OptionTable()) {
    CLI::Option* opt = app.add_option_function<std::string>(
        "--" + info.key, [&o, key = info.key](const std::string& v) { o.keys[key] = v; },
        info.help);
    // A boolean key alone means true; "--key=false" still works.
    if (info.isFlag) opt->expected(0, 1)->default_str("true");
  }
}

void AddPortOptions(CLI::App& app, Options& o) {
  app.add_option("--device-root", o.deviceRoot, "also present the port in a fake sysfs/dev tree");
  app.add_option("--serial", o.port.serial, "adapter serial number in that tree");
  app.add_option("--vendor-id", o.port.vendorId, "USB vendor id (hex text)");
  app.add_option("--product-id", o.port.productId, "USB product id (hex text)");
  app.add_option("--manufacturer", o.port.manufacturer, "USB manufacturer text");
  app.add_option("--product", o.port.product, "USB product text");
  app.add_option("--driver", o.port.driver, "usb-serial driver name (empty: none)");
  app.add_option("--interface", o.port.interfaceNumber, "USB interface number");
}

// Config file first, then the keys given on the command line override it.
std::optional<std::string> BuildConfig(const Options& o, vozisim::SimConfig& cfg) {
  if (!o.configFile.empty()) {
    if (auto err = vozisim::LoadConfigFile(cfg, o.configFile)) return err;
  }
  for (const auto& [key, value] : o.keys) {
    if (auto err = vozisim::ApplyOption(cfg, key, value)) return err;
  }
  return vozisim::Validate(cfg);
}

// Replaces a stale symbolic link at `link`, but never anything else.
bool MakeLink(const std::string& target, const std::string& link) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link.c_str());
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

int WaitForEnd(const std::function<bool()>& ended, const sigset_t& signals) {
  const timespec step{0, 100 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&signals, nullptr, &step);
    if (sig == SIGINT || sig == SIGTERM) return 0;
    if (ended()) return 0;
  }
}

// The replay's script from the trace file, or the reason (exit 2).
std::optional<std::string> LoadReplay(const Options& o, vozisim::ReplayScript& script) {
  std::ifstream in(o.replayFile, std::ios::binary);
  if (!in) return "cannot read the trace " + o.replayFile;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  vozisim::TraceFile trace;
  if (auto err = vozisim::ParseTrace(text, trace)) return o.replayFile + ": " + *err;
  if (auto err = vozisim::BuildReplayScript(trace, o.replayDevice, script)) return o.replayFile + ": " + *err;
  std::cerr << "vozi-sim: replaying device " << script.device << " of " << trace.ports.size() << " in the trace ("
            << script.port << "): " << script.steps.size() << " frames\n";
  if (trace.truncated) std::cerr << "vozi-sim: the trace was truncated by its size limit; the replay ends there\n";
  for (const std::string& note : script.notes) std::cerr << "vozi-sim: " << o.replayFile << " " << note << "\n";
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated Vozi instrument on a pseudo-terminal"};
  Options o;
  app.add_option("--config", o.configFile, "file of key=value lines (same keys as the options)");
  app.add_option("--link", o.link, "make a symbolic link to the slave at this path");
  app.add_option("--log", o.logFile, "write every frame received to this file");
  app.add_flag("--exit-on-x", o.exitOnX, "exit when the host sends X");
  app.add_option("--play", o.playFile,
                 "be the instrument of a recording vozi-host made (its CSV, EDF+ or BDF+): its channels, names, units and "
                 "period, its values, its gaps as missing lines");
  app.add_flag("--loop", o.loop, "with --play: start the recording again after its last row");
  app.add_option("--replay", o.replayFile,
                 "play the instrument's side of a trace the library wrote (VOZI_TRACE) instead of simulating");
  app.add_option("--speed", o.speed, "with --replay: play the trace's pauses this many times faster")
      ->check(CLI::PositiveNumber);
  app.add_option("--device", o.replayDevice,
                 "with --replay: which device of the trace, by order of first appearance (0, 1, ...) or by port "
                 "(as the trace writes it, or its last part, e.g. ttyUSB1); default 0");
  AddPortOptions(app, o);
  AddConfigKeys(app, o);
  app.footer(
      "Once the instrument is ready it prints, on standard output:\n"
      "  line 1  the pseudo-terminal a host opens as the instrument's serial port (/dev/pts/N);\n"
      "  line 2  only with --device-root DIR: the port's name in that tree (ttyUSB<m>: DIR/dev/ttyUSB<m>\n"
      "          and DIR/sys/class/tty/ttyUSB<m>); with VOZI_DEVICE_ROOT=DIR the enabler finds it there.\n"
      "  then  only with --play: what a host needs to tell the recording's gaps and its end from an\n"
      "          instrument that stopped (play: <lines> lines, longest silence <seconds> s[, looped]).\n"
      "Waiting for those lines is waiting until a host can find and open it. It then answers until\n"
      "Ctrl-C or SIGTERM (or the host's X with --exit-on-x), and takes its entries out of the tree.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;  // --help is a success
  }

  vozisim::SimConfig cfg;
  if (!o.replayFile.empty() && (!o.keys.empty() || !o.configFile.empty() || !o.logFile.empty() || o.exitOnX)) {
    // Everything the instrument does comes from the trace then.
    std::cerr << "vozi-sim: --replay takes no instrument settings, --config, --log or --exit-on-x\n";
    return 2;
  }
  if (o.replayFile.empty() && (o.speed != 1.0 || !o.replayDevice.empty())) {
    std::cerr << "vozi-sim: --speed and --device go with --replay\n";
    return 2;
  }
  if (o.loop && o.playFile.empty()) {
    std::cerr << "vozi-sim: --loop goes with --play\n";
    return 2;
  }
  if (!o.playFile.empty()) {
    if (!o.replayFile.empty()) {
      std::cerr << "vozi-sim: --play and --replay exclude each other\n";
      return 2;
    }
    auto recording = std::make_shared<vozisim::Recording>();
    std::ifstream in(o.playFile, std::ios::binary);
    if (!in) {
      std::cerr << "vozi-sim: cannot read the recording " << o.playFile << "\n";
      return 2;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto err = vozisim::LooksLikeEdf(text) ? vozisim::ReadEdfRecording(o.playFile, *recording)
                                                 : vozisim::ReadCsvRecording(text, *recording);
    if (err) {
      std::cerr << "vozi-sim: " << o.playFile << ": " << *err << "\n";
      return 2;
    }
    recording->loop = o.loop;
    vozisim::DescribeRecording(*recording, cfg);
    cfg.recording = recording;
  }
  if (auto err = BuildConfig(o, cfg)) {
    std::cerr << "vozi-sim: " << *err << "\n";
    return 2;
  }

  // Signals are taken synchronously by the main thread; block them before the
  // instrument thread starts so that it inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ofstream log;
  std::mutex logMutex;
  std::optional<vozisim::Instrument> simulated;
  std::optional<vozisim::ReplayInstrument> replay;
  std::string slavePath;
  if (!o.replayFile.empty()) {
    vozisim::ReplayScript script;
    if (auto err = LoadReplay(o, script)) {
      std::cerr << "vozi-sim: " << *err << "\n";
      return 2;
    }
    replay.emplace(std::move(script), o.speed);
    if (!replay->Start()) {
      std::cerr << "vozi-sim: " << replay->LastError() << "\n";
      return 1;
    }
    slavePath = replay->SlavePath();
  } else {
    vozisim::Instrument& sim = simulated.emplace(cfg);
    if (!o.logFile.empty()) {
      log.open(o.logFile, std::ios::binary | std::ios::trunc);
      if (!log) {
        std::cerr << "vozi-sim: cannot write " << o.logFile << "\n";
        return 2;
      }
      sim.SetFrameListener([&](const vozisim::Frame& f) {
        std::lock_guard lock(logMutex);
        log << f.text << std::endl;
      });
    }
    if (!sim.Start()) {
      std::cerr << "vozi-sim: " << sim.LastError() << "\n";
      return 1;
    }
    slavePath = sim.SlavePath();
  }

  int status = 0;
  bool linked = false;
  std::optional<vozisim::UsbSerialPortEntry> entry;
  if (!o.link.empty()) {
    if (!MakeLink(slavePath, o.link)) {
      std::perror("vozi-sim: --link");
      status = 1;
    }
    linked = status == 0;
  }
  if (status == 0 && !o.deviceRoot.empty()) {
    std::string err;
    entry = vozisim::AddUsbSerialPort(o.deviceRoot, o.port, slavePath, &err);
    if (!entry) {
      std::cerr << "vozi-sim: --device-root: " << err << "\n";
      status = 1;
    }
  }
  if (status == 0) {
    std::cout << slavePath << "\n";
    if (entry) std::cout << entry->ttyName << "\n";
    if (cfg.recording) std::cout << vozisim::PlaySummary(*cfg.recording) << "\n";
    std::cout.flush();
    status = WaitForEnd(
        [&] { return o.exitOnX && simulated && simulated->XReceived(); }, signals);
  }

  if (simulated) simulated->Stop();
  if (replay) replay->Stop();
  if (entry) vozisim::RemoveUsbSerialPort(*entry);
  if (linked) ::unlink(o.link.c_str());
  return status;
}
