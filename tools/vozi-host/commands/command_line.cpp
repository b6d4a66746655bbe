#include "commands/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <set>

#include "outputs/edf_writer.h"
#include "commands/exit_codes.h"
#include "outputs/output_files.h"
#include "platform/console.h"
#include "platform/private_broker.h"
#include "platform/simulator_fleet.h"
#include "publish/publish_command.h"
#include "record/marker.h"

namespace vozihost {
namespace {

constexpr const char* kVersion = VOZI_HOST_VERSION;

constexpr const char* kFooter =
    "Commands: list (instruments found; --probe starts them to ask more), acquire\n"
    "(stream to CSV, EDF+ and SVG), publish (stream to an MQTT broker, and to files\n"
    "if asked), monitor (publish, and plot live in a browser), record (a broker's\n"
    "streams into files, as acquire writes them), mark (an experiment marker into\n"
    "the broker's recordings), help [command].\n"
    "No hardware? Add --simulate: vozi-host --simulate=3 monitor is a first look.\n"
    "With several instruments, acquire writes one file per instrument: the device\n"
    "index goes before the extension (samples.csv -> samples-0.csv).\n";

void AddGlobalOptions(CLI::App& app, GlobalOptions& g) {
  app.add_option("--library", g.library,
                 "the enabler to load (default: libvozi.so / Vozi.kycdll beside vozi-host, in\n"
                 "../lib, or at the top of the build tree)");
  app.add_option("--simulate", g.simulate,
                 "start N simulated instruments (vozi-sim) in a temporary device tree first;\n"
                 "--simulate alone means one (Linux)")
      ->expected(0, 1)
      ->default_str("1");
  app.add_option("--sim", g.sim, "the vozi-sim executable (default: beside vozi-host)");
  app.add_option("--sim-arg", g.simArgs,
                 "an argument for every simulator, e.g. --sim-arg=--firmware=2 (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--trace", g.trace,
                 "append a trace of the library's conversation with each instrument (frames,\n"
                 "lines, states, start-up steps; microsecond stamps) to FILE (sets VOZI_TRACE)")
      ->type_name("FILE");
}

void AddStreamOptions(CLI::App* cmd, Parsed& p) {
  cmd->add_option("--device", p.raw.devices, "instrument indices, e.g. 0,2 (default: all)");
  cmd->add_option("--period", p.raw.period,
                  "sample period in microseconds, one the instrument offers (default: the first\n"
                  "it offers, the one it starts with; selected either way)");
  cmd->add_option("--channels", p.raw.channels, "channels to stream, e.g. 1,3 (default: all)");
  cmd->add_option("--seconds", p.raw.seconds, "stream this long (sample time)");
  cmd->add_option("--samples", p.raw.samples, "stream this many samples per instrument");
  cmd->add_option("--silence-limit", p.raw.silenceLimit,
                  "an instrument silent this many seconds (or five periods, if longer) has stopped\n"
                  "(default 3; 1 to 86400); give a recording's longest gap and more to a player\n"
                  "the tool did not start itself (vozi-sim --play prints it)");
  cmd->add_option("--csv", p.csv, "write the samples to this CSV file (- : standard output)");
  cmd->add_option("--edf", p.edf,
                  EdfSupported() ? "write an EDF+ recording (BDF+ for unscaled channels)"
                                 : "write an EDF+ recording (not in this build: no libedf)");
  cmd->add_option("--plot", p.plot, "plot every channel against time in this SVG file");
  cmd->add_flag("--allow-loss", p.acquire.allowLoss, "lost samples are no failure (exit code 0, not 8)");
  cmd->add_flag("--require-all", p.acquire.requireAll,
                "record nothing unless every chosen instrument starts");
  cmd->footer("Without --seconds or --samples it streams until Ctrl-C.");
}

CLI::App* AddAcquire(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("acquire", "stream samples to CSV, EDF+ and an SVG plot");
  AddStreamOptions(cmd, p);
  return cmd;
}

// The broker options publish and monitor share, but --broker itself.
void AddBrokerOptions(CLI::App* cmd, Parsed& p) {
  RawPublish& r = p.rawPublish;
  cmd->add_option("--prefix", r.prefix, "the topics' first levels: PREFIX/<unique id>/...")->default_str("vozi");
  cmd->add_option("--ca-file", r.caFile,
                  "mqtts: the CA certificate that signed the broker's (default: the system's)");
  cmd->add_option("--username", r.username, "the user name the broker knows the publisher by");
  cmd->add_option("--password-file", r.passwordFile,
                  std::string("read the password from the first line of FILE (else from ") + kPasswordVariable +
                      "; never on the command line)")
      ->type_name("FILE");
}

CLI::App* AddPublish(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("publish", "stream samples to an MQTT broker (and files, as acquire)");
  AddStreamOptions(cmd, p);
  cmd->add_option("--broker", p.rawPublish.broker, "mqtt://host[:port] or mqtts://host[:port] (TLS)")
      ->default_str(kDefaultBroker);
  AddBrokerOptions(cmd, p);
  cmd->footer("Without --seconds or --samples it streams until Ctrl-C. Topics and payloads: docs/streaming.md.");
  return cmd;
}

CLI::App* AddMonitor(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("monitor", "publish as publish does, and plot every instrument live in a browser");
  AddStreamOptions(cmd, p);
  cmd->add_option("--broker", p.rawPublish.broker,
                  "publish to this broker (mqtt://host[:port] or mqtts://...) and say how it can serve\n"
                  "the page (default: a private mosquitto on 127.0.0.1 that serves it)");
  AddBrokerOptions(cmd, p);
  cmd->add_option("--web", p.monitor.webDir, "the page's folder (default: the installed or built page)")
      ->type_name("DIR");
  cmd->footer("Prints the address to open. Streams until Ctrl-C (or --seconds, --samples); the private\n"
              "broker ends with it.\n"
              "The page and a lab broker's settings: docs/streaming.md, \"The browser monitor\".");
  return cmd;
}

CLI::App* AddRecord(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("record", "record every instrument streaming to an MQTT broker into files");
  cmd->add_option("--broker", p.rawPublish.broker, "mqtt://host[:port] or mqtts://host[:port] (TLS)")
      ->default_str(kDefaultBroker);
  AddBrokerOptions(cmd, p);
  cmd->add_option("--id", p.record.ids, "record only this instrument (its unique id, as in its topics; repeatable)");
  cmd->add_option("--out", p.recordOut, "the folder the files and session.json go into (made if missing)")
      ->type_name("FOLDER");
  cmd->add_flag("--csv", p.record.csv, "CSV files too (EDF+ or BDF+ always)");
  cmd->add_option("--seconds", p.recordSeconds, "record this long (wall-clock time)");
  cmd->add_option("--late-seconds", p.recordLateSeconds,
                  "how long batches behind missing positions wait for late ones to fill them, before the "
                  "missing ones are marked as a gap (0 to 86400)")
      ->default_str("30");
  cmd->footer("One file per stream, named by unique id and start time; runs until Ctrl-C or --seconds.\n"
              "Files and session.json: docs/streaming.md, \"Recording the broker's streams\".");
  return cmd;
}

CLI::App* AddMark(CLI::App& app, Parsed& p) {
  CLI::App* cmd = app.add_subcommand("mark", "send an experiment marker to the recorders of an MQTT broker");
  cmd->add_option("--broker", p.rawPublish.broker, "mqtt://host[:port] or mqtts://host[:port] (TLS)")
      ->default_str(kDefaultBroker);
  AddBrokerOptions(cmd, p);
  cmd->add_option("--sender", p.mark.sender, "who sends the marker (default: this machine's host name)");
  cmd->add_option("--duration", p.markDuration, "the span the marker covers, in seconds (default: none, a moment)");
  cmd->add_flag("--no-clock", p.mark.noClock,
                "name no clock and exit once the marker is acknowledged (recorders then take its time as sent)");
  cmd->add_option("text", p.mark.text, "what happened, one line (e.g. \"stimulus 12 shown\")")->required();
  cmd->footer("The marker's time is this machine's clock when mark starts; it exits 0 once the broker has\n"
              "taken it. Payload and bounds: docs/streaming.md, \"Experiment markers\".");
  return cmd;
}

std::optional<std::string> ValidateMark(Parsed& p) {
  if (auto e = CheckMarkerField("the marker's text", p.mark.text, kMaxMarkerTextBytes)) return e;
  if (!p.mark.sender.empty()) {
    if (auto e = CheckMarkerField("--sender", p.mark.sender, kMaxMarkerSenderBytes)) return e;
  }
  if (!p.markDuration.empty()) {
    double s = 0;
    const std::string& r = p.markDuration;
    const auto [end, ec] = std::from_chars(r.data(), r.data() + r.size(), s);
    if (ec != std::errc() || end != r.data() + r.size() || !std::isfinite(s) || s < 0 || s > 1e9) {
      return "--duration must be a number of seconds, 0 or more (got \"" + r + "\")";
    }
    p.mark.durationUs = std::llround(s * 1e6);
  }
  if (p.global.simulateGiven || !p.global.sim.empty() || !p.global.library.empty()) {
    return std::string("mark sends to a broker: --simulate, --sim and --library are for the commands that stream");
  }
  return std::nullopt;
}

std::optional<std::string> ValidateRecord(Parsed& p) {
  if (p.recordOut.empty()) return std::string("record needs --out FOLDER");
  p.record.folder = p.recordOut;
  for (const std::string& id : p.record.ids) {
    if (auto e = CheckInstrumentId(id)) return e;
  }
  if (!p.recordSeconds.empty()) {
    double s = 0;
    const std::string& r = p.recordSeconds;
    const auto [end, ec] = std::from_chars(r.data(), r.data() + r.size(), s);
    if (ec != std::errc() || end != r.data() + r.size() || !std::isfinite(s) || s <= 0 || s > 1e9) {
      return "--seconds must be a number of seconds above 0 (got \"" + r + "\")";
    }
    p.record.seconds = s;
  }
  if (!p.recordLateSeconds.empty()) {
    double s = 0;
    const std::string& r = p.recordLateSeconds;
    const auto [end, ec] = std::from_chars(r.data(), r.data() + r.size(), s);
    if (ec != std::errc() || end != r.data() + r.size() || !std::isfinite(s) || s < 0 || s > 86400) {
      return "--late-seconds must be a number of seconds from 0 to 86400 (got \"" + r + "\")";
    }
    p.record.lateWait = std::chrono::milliseconds(std::llround(s * 1000));
  }
  if (p.global.simulateGiven || !p.global.sim.empty() || !p.global.library.empty()) {
    return std::string("record reads a broker: --simulate, --sim and --library are for the commands that stream");
  }
  return std::nullopt;
}

std::optional<std::string> ValidatePublish(Parsed& p) {
  const RawPublish& r = p.rawPublish;
  std::string error;
  const auto url = ParseBrokerUrl(r.broker, &error);
  if (!url) return error;
  p.broker.url = *url;
  if (auto e = CheckPrefix(r.prefix)) return e;
  p.broker.prefix = r.prefix;
  if (!r.caFile.empty()) {
    if (!url->tls) return std::string("--ca-file is for a TLS broker (mqtts://...)");
    if (std::FILE* f = std::fopen(r.caFile.c_str(), "rb")) {
      std::fclose(f);
    } else {
      return "--ca-file: cannot read " + r.caFile + ": " + SystemReason();
    }
  }
  p.broker.caFile = r.caFile;
  p.broker.username = r.username;
  if (!ReadPassword(r.passwordFile, &p.broker.password, &error)) return error;
  // MQTT carries a password only after a user name. (The monitor's private
  // broker gets a credential of its own.)
  const bool ownBroker = p.isMonitor && p.monitor.privateBroker;
  if (p.broker.password && r.username.empty() && !ownBroker) {
    return r.passwordFile.empty()
               ? std::string(kPasswordVariable) + " is set but --username is not: a broker takes a password only "
                                                  "with a user name (give --username, or unset it)"
               : std::string("--password-file needs --username: a broker takes a password only with a user name");
  }
  return std::nullopt;
}

std::optional<std::string> ParseWhole(const std::string& name, const std::string& text, int64_t low,
                                      int64_t high, const char* what, int64_t* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return name + " must be " + what + " (got \"" + text + "\")";
  }
  if (*value < low) return name + (low == 1 ? " must be greater than 0" : " must be 0 or more");
  if (*value > high) return name + " must be at most " + std::to_string(high);
  return std::nullopt;
}

std::optional<std::string> ParseList(const std::string& name, const std::string& text, int64_t low,
                                     const char* what, std::vector<int32_t>* values) {
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    int64_t v = 0;
    if (auto e = ParseWhole(name, text.substr(start, comma - start), low, INT32_MAX, what, &v)) return e;
    values->push_back(static_cast<int32_t>(v));
    if (comma == std::string::npos) return std::nullopt;
    start = comma + 1;
  }
}

std::optional<std::string> Validate(Parsed& p) {
  AcquireOptions& a = p.acquire;
  const RawAcquire& r = p.raw;
  int64_t v = 0;
  if (!r.devices.empty()) {
    if (auto e = ParseList("--device", r.devices, 0, "instrument indices, e.g. 0,2", &a.devices)) return e;
  }
  if (!r.channels.empty()) {
    if (auto e = ParseList("--channels", r.channels, 1, "channel numbers from 1, e.g. 1,3", &a.channels)) return e;
  }
  if (!r.period.empty()) {
    if (auto e = ParseWhole("--period", r.period, 1, INT32_MAX, "a whole number of microseconds", &v)) return e;
    a.periodUs = static_cast<int32_t>(v);
  }
  if (!r.samples.empty()) {
    if (auto e = ParseWhole("--samples", r.samples, 1, INT64_MAX, "a whole number", &v)) return e;
    a.samples = static_cast<uint64_t>(v);
  }
  if (!r.seconds.empty()) {
    double s = 0;
    const auto [end, ec] = std::from_chars(r.seconds.data(), r.seconds.data() + r.seconds.size(), s);
    if (ec != std::errc() || end != r.seconds.data() + r.seconds.size() || !std::isfinite(s)) {
      return "--seconds must be a number of seconds (got \"" + r.seconds + "\")";
    }
    if (s <= 0) return std::string("--seconds must be greater than 0");
    // Sample time is kept in whole microseconds of 64 bits: a value outside
    // that is no duration the tool can count to.
    if (s < 1e-6) return std::string("--seconds must be at least 0.000001 (one microsecond)");
    if (s > static_cast<double>(INT64_MAX) / 1e6) {
      return "--seconds must be at most " + std::to_string(INT64_MAX / 1000000) + " (about 292000 years)";
    }
    a.seconds = s;
  }
  if (!r.silenceLimit.empty()) {
    // Below a second a busy machine's hiccup would end a healthy stream; a
    // dead instrument should not go unnoticed for more than a day.
    double s = 0;
    const std::string& t = r.silenceLimit;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), s);
    if (ec != std::errc() || end != t.data() + t.size() || !(s >= 1 && s <= 86400)) {
      return "--silence-limit must be a number of seconds from 1 to 86400 (got \"" + t + "\")";
    }
    a.silenceSeconds = s;
  }
  if (p.global.simulateGiven && (p.global.simulate < 1 || p.global.simulate > kMaxSimulators)) {
    return "--simulate must be between 1 and " + std::to_string(kMaxSimulators);
  }
  if (!p.edf.empty() && !EdfSupported()) return std::string("--edf: this build of vozi-host has no EDF support (libedf)");
  return std::nullopt;
}

}  // namespace

int Usage(const std::string& message, const std::string& hint) {
  ReportError(message + "\n(" + hint + ")");
  return kExitUsage;
}

namespace {

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// An option no command takes: the nearest one that this command or every
// command takes (a typing slip, or the start of a name), and where the
// options are listed.
int UnknownOption(const CLI::App& app, const CLI::App* command, const std::string& given) {
  const std::string name = given.substr(0, given.find('='));
  std::string closest;
  size_t best = std::max<size_t>(1, (name.size() - std::min<size_t>(2, name.size())) / 3) + 1;
  for (const CLI::App* a : {&app, command}) {
    if (!a) continue;
    for (const CLI::Option* option : a->get_options()) {
      for (const std::string& longName : option->get_lnames()) {
        const std::string known = "--" + longName;
        const bool start = name.size() >= 5 && known.rfind(name, 0) == 0;
        const size_t distance = start ? 1 : EditDistance(name, known);
        if (distance < best) {
          best = distance;
          closest = known;
        }
      }
    }
  }
  const std::string where = command ? "help " + command->get_name() : "help";
  return Usage("unknown option " + name + (closest.empty() ? "" : "; did you mean " + closest + "?"),
               "vozi-host " + where + " shows the options");
}

// An option given an empty value ("--csv ''", often an unset shell
// variable) must not pass for one not given: the run would keep nothing, or
// load another library, where the user asked for something.
std::optional<std::string> EmptyValue(CLI::App& app) {
  std::vector<CLI::App*> apps = app.get_subcommands();
  apps.push_back(&app);
  for (CLI::App* a : apps) {
    for (const CLI::Option* o : a->get_options()) {
      if (!o->nonpositional() || o->get_expected_min() == 0 || o->count() == 0) continue;
      const std::vector<std::string>& values = o->results();
      if (values.empty() || std::find(values.begin(), values.end(), "") != values.end()) {
        return o->get_name() + " needs a value (it was given an empty one)";
      }
    }
  }
  return std::nullopt;
}

// The outputs' names before anything starts (simulators included), as far
// as they can be checked without knowing the instruments.
int CheckOutputs(const Parsed& p) {
  const std::set<int32_t> devices(p.acquire.devices.begin(), p.acquire.devices.end());
  const size_t count = devices.empty() ? static_cast<size_t>(p.global.simulate) : devices.size();
  bool usage = false;
  const auto problem = CheckOutputNames({p.csv, p.plot, p.edf}, count, &usage);
  if (!problem) return kExitOk;
  if (usage) return Usage(*problem);
  ReportError(*problem);
  return kExitFailure;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Parsed& p) {
  CLI::App app{"vozi-host: drives the Vozi device enabler as the host application does"};
  app.set_version_flag("--version", std::string("vozi-host ") + kVersion);
  app.fallthrough();
  app.allow_extras();
  app.require_subcommand(0, 1);
  app.footer(std::string(kFooter) + kExitCodeHelp);
  AddGlobalOptions(app, p.global);
  CLI::App* list = app.add_subcommand("list", "show the instruments found (--probe: start and ask them)");
  list->footer("");  // not the whole tool's text again
  list->add_flag("--probe", p.list.probe,
                 "start each instrument and show its model, firmware, periods and channels");
  CLI::App* acquire = AddAcquire(app, p);
  CLI::App* publish = AddPublish(app, p);
  CLI::App* monitor = AddMonitor(app, p);
  CLI::App* record = AddRecord(app, p);
  CLI::App* mark = AddMark(app, p);
  CLI::App* help = app.add_subcommand("help", "show the commands, or one command's options");
  std::string topic;
  help->add_option("command", topic, "list, acquire, publish, monitor, record or mark");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? kExitOk : kExitUsage;  // --help, --version
    return Usage(e.what());
  }
  if (help->parsed()) {
    if (topic.empty()) {
      // What --help shows (app.help() would describe the help command
      // itself), then every command with its options.
      std::cout << app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal);
      for (const CLI::App* command : {list, acquire, publish, monitor, record, mark}) {
        std::cout << "\n" << command->help("vozi-host");
      }
    } else if (topic == "list" || topic == "acquire" || topic == "publish" || topic == "monitor" ||
               topic == "record" || topic == "mark") {
      std::cout << app.get_subcommand(topic)->help();
      if (topic != "record" && topic != "mark") {
        std::cout << "Options of every command: --library, --simulate, --sim, --sim-arg, --trace (vozi-host help).\n";
      }
    } else {
      return Usage("no command \"" + topic + "\"; the commands are list, acquire, publish, monitor, record, mark and help");
    }
    return kExitOk;
  }
  if (!list->parsed() && !acquire->parsed() && !publish->parsed() && !monitor->parsed() && !record->parsed() &&
      !mark->parsed()) {
    const std::vector<std::string> rest = app.remaining();
    if (rest.empty()) return Usage("a command is needed: list, acquire, publish, monitor, record, mark or help");
    if (rest[0].rfind("-", 0) == 0) return UnknownOption(app, nullptr, rest[0]);
    return Usage("unknown command \"" + rest[0] +
                 "\"; the commands are list, acquire, publish, monitor, record, mark and help");
  }
  if (!app.remaining().empty()) {
    const std::string extra = app.remaining()[0];
    const CLI::App* command = list->parsed()      ? list
                             : publish->parsed() ? publish
                             : monitor->parsed() ? monitor
                             : record->parsed()  ? record
                             : mark->parsed()    ? mark
                                                 : acquire;
    if (extra.rfind("-", 0) == 0) return UnknownOption(app, command, extra);
    return Usage("unexpected argument " + extra);
  }
  p.isList = list->parsed();
  p.isPublish = publish->parsed();
  p.isMonitor = monitor->parsed();
  p.isRecord = record->parsed();
  p.isMark = mark->parsed();
  if ((p.isPublish || p.isMonitor || p.isRecord || p.isMark) && !PublishSupported()) {
    ReportError(std::string(p.isPublish ? "publish" : p.isRecord ? "record" : p.isMark ? "mark" : "monitor") +
                " is not in this build of vozi-host (it has no MQTT client library, libmosquitto)");
    return kExitUsage;
  }
  if (p.isMonitor) {
    p.monitor.privateBroker = monitor->count("--broker") == 0;
    if (p.monitor.privateBroker && !PrivateBroker::Supported()) {
      return Usage("monitor starts its own broker on Linux only; give one with --broker");
    }
  }
  p.global.simulateGiven = app.get_option("--simulate")->count() > 0;
  if (auto error = EmptyValue(app)) return Usage(*error);
  if (p.isRecord) {
    if (auto error = ValidateRecord(p)) return Usage(*error);
    if (auto error = ValidatePublish(p)) return Usage(*error);
    p.record.progress = IsTerminal(stderr);
    p.record.toolVersion = kVersion;
    return std::nullopt;
  }
  if (p.isMark) {
    if (auto error = ValidateMark(p)) return Usage(*error);
    if (auto error = ValidatePublish(p)) return Usage(*error);
    return std::nullopt;
  }
  if (auto error = Validate(p)) return Usage(*error);
  if (p.isPublish || p.isMonitor) {
    if (auto error = ValidatePublish(p)) return Usage(*error);
  }
  if (!p.isList) {
    if (const int status = CheckOutputs(p); status != kExitOk) return status;
  }
  p.acquire.csv = p.csv;
  p.acquire.plot = p.plot;
  p.acquire.edf = p.edf;
  p.acquire.progress = IsTerminal(stderr) && p.csv != "-";
  p.acquire.toolVersion = kVersion;
  return std::nullopt;
}

}  // namespace vozihost
