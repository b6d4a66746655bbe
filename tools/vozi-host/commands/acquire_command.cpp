#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <ostream>
#include <set>

#include "session/acquire_hooks.h"
#include "session/acquisition.h"
#include "commands/commands.h"
#include "commands/exit_codes.h"
#include "outputs/number_text.h"
#include "outputs/output_files.h"
#include "platform/console.h"
#include "outputs/recording_outputs.h"

namespace vozihost {
namespace {

std::string List(const std::vector<int32_t>& values) {
  std::string text;
  for (int32_t v : values) text += (text.empty() ? "" : ", ") + std::to_string(v);
  return text;
}

std::string DeviceName(const DeviceStream& s) {
  if (s.info.model.empty()) return "device " + std::to_string(s.info.index);
  return "device " + std::to_string(s.info.index) + " (" + s.info.model + ", " + s.info.description + ")";
}

// The channels asked for, in the order the library sends them: increasing
// channel index, each once. Empty (with *error) when one does not exist.
std::vector<ChannelInfo> ChooseColumns(const DeviceInfo& info, const std::vector<int32_t>& wanted,
                                       std::string* error) {
  if (wanted.empty()) return info.channels;
  std::vector<ChannelInfo> columns;
  for (int32_t c : std::set<int32_t>(wanted.begin(), wanted.end())) {
    const ChannelInfo* channel = info.Channel(c);
    if (!channel) {
      *error = "device " + std::to_string(info.index) + " has no channel " + std::to_string(c) +
               (info.channels.empty() ? " (it has none)"
                                      : " (channels 1.." + std::to_string(info.channels.size()) + ")");
      return {};
    }
    columns.push_back(*channel);
  }
  return columns;
}

// The period the time column and the loss check rest on, always selected
// before the stream starts: the one --period names (if the instrument
// offers it), else the one the instrument starts with.
bool ChoosePeriod(DeviceStream& s, std::optional<int32_t> periodUs, std::string* error) {
  const std::vector<int32_t>& offered = s.info.periodsUs;
  if (periodUs) {
    if (std::find(offered.begin(), offered.end(), *periodUs) == offered.end()) {
      *error = "device " + std::to_string(s.info.index) + " does not offer a period of " +
               std::to_string(*periodUs) + " us (it offers " +
               (offered.empty() ? std::string("none") : List(offered)) + ")";
      return false;
    }
    s.periodUs = *periodUs;
    s.periodGiven = true;
    return true;
  }
  s.periodUs = StartingPeriod(offered).value_or(0);  // none at all: the time is unknown
  return true;
}

std::string PeriodText(const DeviceStream& s) {
  if (s.periodUs <= 0) return "unknown (the instrument offers none; the first column counts samples)";
  const std::string p = FormatPeriod(static_cast<int32_t>(s.periodUs));
  if (s.periodGiven) return p + " (selected)";
  return p + " (selected: the first the instrument offers, where it starts; --period chooses another)";
}

std::string Identity(const DeviceStream& s) {
  return "Vozi " + s.info.model + " " + s.info.description + ", device " + std::to_string(s.info.index) +
         ", unique id " + (s.info.uniqueId ? std::to_string(*s.info.uniqueId) : "-");
}

// Once the stream has started: the CSV's comment lines and column header,
// and the EDF file (it needs the start time in its header).
bool BeginFiles(DeviceStream& s, const std::string& version, std::chrono::system_clock::time_point start,
                std::string* error) {
  std::vector<std::string> labels;
  for (const ChannelInfo& c : s.columns) labels.push_back(c.Label());
  s.csv.WriteHeader({{"vozi-host", version},
                     {"instrument", Identity(s)},
                     {"firmware", s.info.firmware},
                     {"period", s.periodUs > 0 ? std::to_string(s.periodUs) + " us, " + PeriodText(s)
                                               : PeriodText(s)},
                     {"start", IsoTime(start)},
                     {"gap", "samples lost just before the row (0 none, -1 some, number unknown)"}},
                    labels, s.periodUs > 0);
  if (s.edfPath.empty()) return true;
  EdfHeader h;
  h.columns = s.columns;
  h.periodUs = s.periodUs;
  h.start = start;
  h.equipment = "Vozi " + s.info.model + " " + s.info.description + " fw " + s.info.firmware;
  h.recording = "vozi-host " + version;
  s.edf = EdfRecording::Open(s.edfPath, h, error);
  return s.edf != nullptr;
}

void PrintSummary(const DeviceStream& s, const std::vector<OutputResult>& outputs, double elapsed,
                  std::ostream& out) {
  const StreamStats& st = s.stats;
  out << DeviceName(s) << ": " << st.samples << " samples";
  if (s.periodUs > 0) {
    out << " (" << FormatSampleTime(s.Position(), s.periodUs) << " s of sample time)";
  }
  out << " in " << FormatNumber(elapsed, 4) << " s, ";
  if (const auto rate = ArrivalRate(s.linesByLast, s.firstAt, s.lastAt)) {
    out << FormatNumber(*rate, 5) << " lines/s arrived";
  } else {
    out << "rate not measured (less than a second of lines)";
  }
  out << "; malformed lines " << st.malformed << ", ring overflows " << st.ringOverflows << "\n";
  out << "  period: " << PeriodText(s) << "\n";
  if (s.playedToEnd) out << "  end: the played recording ended (all its " << s.played->lines << " lines came)\n";
  if (st.malformed) {
    out << "  malformed: " << st.noPrefix << " without \"@ \", " << st.wrongCount
        << " with values missing or run together, " << st.badValue << " with bad values\n";
  }
  if (st.Lost()) {
    out << "  LOST: samples are missing at " << st.gaps << (st.gaps == 1 ? " place" : " places")
        << " (rows with a non-zero gap column): " << st.malformed << " damaged, about " << st.lostEstimate - st.unplaced
        << " never arrived";
    if (s.endLoss) out << " (" << s.endLoss << " of them just before the end of the run)";
    if (st.unplaced) {
      out << ", " << st.unplaced << " left out (taken between lines the full ring refused: their time "
          << "cannot be known)";
    }
    if (st.gapsOfUnknownSize) out << ", plus " << st.gapsOfUnknownSize << " gap(s) of unknown size";
    out << "\n";
  }
  if (st.fasterThanPeriod) {
    out << "  warning: more lines arrived than the period allows: the instrument does not stream at "
        << FormatPeriod(static_cast<int32_t>(s.periodUs)) << ", so the time column is wrong\n";
  }
  if (st.slowerThanPeriod) {
    const std::string p = FormatPeriod(static_cast<int32_t>(s.periodUs));
    const double allowed = 1e6 / static_cast<double>(s.periodUs);
    out << "  warning: fewer lines arrived than the period allows (" << FormatNumber(allowed, 5) << " lines/s at "
        << p << "): either the instrument does not stream at " << p
        << ", and then the time column is wrong and the samples counted as lost were never sent, "
           "or that many lines were lost on the way\n";
  }
  for (const OutputResult& o : outputs) {
    if (o.error.empty()) out << "  " << std::left << std::setw(6) << o.kind + ":" << o.where << "\n";
  }
}

struct Prepared {
  std::vector<DeviceStream> streams;  // the instruments that started
  std::vector<std::string> notStarted;
};

// Start-up of one instrument and its description. The reason on failure.
std::optional<std::string> StartOne(EnablerSession& session, int32_t index, int32_t lastIndex,
                                    const PortInfo& where, std::optional<DeviceInfo>* info) {
  if (auto reason = StartReported(session, index, lastIndex, where)) return "start-up failed: " + *reason;
  std::string failed;
  *info = ReadDeviceInfo(session, index, &failed);
  if (*info) return std::nullopt;
  const std::string message = session.FailureMessage(index, lastIndex);
  ReportError("device " + std::to_string(index) + ": " + failed + " refused", message);
  return failed + " refused" + (message.empty() ? "" : ": " + message);
}

std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

int Acquire(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& o,
            std::ostream& out, AcquireHooks* hooks) {
  std::vector<int32_t> chosen = o.devices.empty() ? found : o.devices;
  std::sort(chosen.begin(), chosen.end());
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
  for (int32_t index : chosen) {
    if (std::find(found.begin(), found.end(), index) == found.end()) {
      ReportError("no instrument with index " + std::to_string(index) + " (found: " + List(found) + ")");
      return kExitNoInstrument;
    }
  }
  // Every output settled before anything is started.
  std::string error;
  bool usage = false;
  const auto plan = PlanOutputs({o.csv, o.plot, o.edf}, chosen, &error, &usage);
  if (!plan) {
    ReportError(error);
    return usage ? kExitUsage : kExitFailure;
  }

  const bool filesWanted = !o.csv.empty() || !o.plot.empty() || !o.edf.empty();
  if (!filesWanted && !hooks) {
    ReportError("warning: no --csv, --edf or --plot given: the samples are counted, not kept");
  }

  const int32_t last = found.back();
  const std::vector<PlatformPort> ports = UsbSerialPorts(o.deviceRoot);
  std::vector<DeviceStream> streams(chosen.size());
  std::vector<std::string> notStarted;
  for (size_t k = 0; k < chosen.size(); ++k) {
    if (StopRequested()) return kExitInterrupted;
    DeviceStream& s = streams[k];
    s.info.index = chosen[k];
    std::optional<DeviceInfo> info;
    if (auto reason = StartOne(session, chosen[k], last, FindPort(session.UniqueId(chosen[k]), ports), &info)) {
      s.failure = *reason;
      notStarted.push_back("device " + std::to_string(chosen[k]) + ": " + OneLine(*reason));
      if (o.requireAll) {
        ReportError("not recording: every instrument must start (--require-all)");
        return kExitStartupFailed;
      }
      continue;
    }
    s.info = std::move(*info);
    s.columns = ChooseColumns(s.info, o.channels, &error);
    if (!error.empty() || !ChoosePeriod(s, o.periodUs, &error)) {
      ReportError(error);
      return kExitUsage;
    }
    for (const ChannelInfo& c : s.columns) s.scaled.push_back(c.Scaled());
    s.csvPath = (*plan)[k].csv;
    s.plotPath = (*plan)[k].plot;
    s.edfPath = (*plan)[k].edf;
    if (!s.plotPath.empty()) s.plot = std::make_unique<PlotSeries>(s.columns.size());
  }
  if (StopRequested()) return kExitInterrupted;
  const size_t startedCount = chosen.size() - notStarted.size();
  if (startedCount == 0) return kExitStartupFailed;
  if (hooks) {
    if (const auto code = hooks->Ready(streams, filesWanted)) return *code;
  }
  for (DeviceStream& s : streams) {
    if (s.failure.empty() && !s.csvPath.empty() && !s.csv.Open(s.csvPath, &error)) {
      ReportError(error);
      return kExitFailure;
    }
  }
  std::vector<bool> initialised;
  for (const DeviceStream& s : streams) initialised.push_back(s.failure.empty());
  if (!notStarted.empty()) {
    ReportError("going on with " + std::to_string(startedCount) + " of " + std::to_string(chosen.size()) +
                " instruments (--require-all refuses instead)");
  }

  for (DeviceStream& s : streams) s.played = o.played;
  Acquisition acquisition(session, streams, {o.seconds, o.samples, o.silenceSeconds}, o.progress);
  const bool anyStarted = acquisition.Start();
  const auto startTime = std::chrono::system_clock::now();
  int status = kExitOk;
  for (size_t k = 0; k < streams.size(); ++k) {
    DeviceStream& s = streams[k];
    if (!initialised[k]) continue;
    if (!s.started) {
      ReportError(DeviceName(s) + ": " + s.failure, session.FailureMessage(s.info.index, last));
      notStarted.push_back(DeviceName(s) + ": " + s.failure);
      continue;
    }
    if (!BeginFiles(s, o.toolVersion, startTime, &error)) {
      ReportError(error);
      status = kExitFailure;
    }
  }
  if (!anyStarted) return StopRequested() ? kExitInterrupted : kExitStreamFailed;
  // An output that could not begin is left out; the others record.
  if (hooks) hooks->Started(streams, startTime);
  const RunResult run = acquisition.Run();
  if (hooks) hooks->Ended(streams, run.end);

  std::vector<std::vector<OutputResult>> outputs(streams.size());
  bool readerGone = false;
  for (size_t k = 0; k < streams.size(); ++k) {
    if (!streams[k].started) continue;
    outputs[k] = FinishOutputs(streams[k]);
    readerGone = readerGone || streams[k].csv.ReaderGone();
    for (const OutputResult& r : outputs[k]) {
      if (r.error.empty()) continue;
      ReportError(r.error);
      status = kExitFailure;
    }
  }
  for (size_t k = 0; k < streams.size(); ++k) {
    if (streams[k].started) PrintSummary(streams[k], outputs[k], run.elapsedSeconds, out);
  }
  for (const std::string& n : notStarted) out << "not recorded: " << n << "\n";
  out << std::flush;

  if (status != kExitOk) return status;
  if (run.end == RunEnd::Interrupted) {
    out << "interrupted\n";
    // Without a limit Ctrl-C is the way to end, not a failure.
    if (o.seconds || o.samples) return kExitInterrupted;
  }
  bool failed = false, lost = false;
  for (const DeviceStream& s : streams) {
    if (!s.started) continue;
    if (!s.failure.empty()) {
      ReportError(DeviceName(s) + ": " + s.failure, session.FailureMessage(s.info.index, last));
      failed = true;
    }
    lost = lost || s.stats.Lost();
  }
  if (failed) return kExitStreamFailed;
  if (lost && !o.allowLoss) {
    ReportError("samples were lost (see the summary); --allow-loss accepts that");
    return kExitDataLost;
  }
  if (!notStarted.empty()) return kExitSomeNotStarted;
  return readerGone ? kExitReaderGone : kExitOk;
}

}  // namespace

int RunAcquire(EnablerSession& session, const std::vector<int32_t>& found,
               const AcquireOptions& options, std::ostream& out, AcquireHooks* hooks) {
  const int code = Acquire(session, found, options, out, hooks);
  return hooks ? hooks->Finish(code, out) : code;
}

}  // namespace vozihost
