#pragma once
// vozi-host's command line: the commands, their options, and the checks that
// turn what was typed into the settings of one run. Every mistake is one
// plain sentence and exit code 2, given before anything starts.
#include <optional>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "commands/monitor_command.h"
#include "publish/broker_settings.h"
#include "publish/broker_url.h"
#include "record/mark_command.h"
#include "record/record_command.h"

namespace vozihost {

struct GlobalOptions {
  std::string library;
  int simulate = 0;
  bool simulateGiven = false;  // --simulate=0 is a mistake, not "no simulators"
  std::string sim;
  std::vector<std::string> simArgs;
  std::string trace;
};

// Numbers stay text until parsed here, so that every mistake gets a plain
// sentence rather than the parser's range of doubles.
struct RawAcquire {
  std::string devices, period, channels, seconds, samples, silenceLimit;
};

struct RawPublish {
  std::string broker = kDefaultBroker, prefix = "vozi", caFile, username, passwordFile;
};

struct Parsed {
  GlobalOptions global;
  AcquireOptions acquire;
  ListOptions list;
  RawAcquire raw;
  std::string csv, plot, edf;
  bool isList = false;
  bool isPublish = false;
  bool isMonitor = false;
  bool isRecord = false;
  std::string recordSeconds, recordLateSeconds, recordOut;
  RecordOptions record;
  bool isMark = false;
  std::string markDuration;
  MarkOptions mark;
  RawPublish rawPublish;
  BrokerSettings broker;
  MonitorOptions monitor;
};

// Fills p from the command line. An exit status when the run ends here
// (help, --version, a mistake, an output that cannot be written); nothing
// when p is ready to run.
std::optional<int> ParseCommandLine(int argc, char** argv, Parsed& p);

// Reports a mistake on the command line, with where the options are
// described; returns the usage exit code.
int Usage(const std::string& message, const std::string& hint = "vozi-host help shows the commands and options");

}  // namespace vozihost
