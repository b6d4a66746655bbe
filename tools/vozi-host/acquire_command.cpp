#include <algorithm>
#include <ostream>
#include <set>
#include <system_error>

#include "acquisition.h"
#include "commands.h"
#include "exit_codes.h"
#include "number_text.h"
#include "platform/console.h"
#include "svg_plot.h"
#include "tool_paths.h"

namespace vozihost {
namespace {

std::string List(const std::vector<int32_t>& values) {
  std::string text;
  for (int32_t v : values) text += (text.empty() ? "" : ", ") + std::to_string(v);
  return text;
}

std::string DeviceName(const DeviceStream& s) {
  return "device " + std::to_string(s.info.index) + " (" + s.info.model + ", " +
         s.info.description + ")";
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

// The period the time column uses. Without --period the instrument keeps
// the one it streams at, which no command reports: the tool assumes the
// first period of the instrument's own list (the library lists them in
// reverse, so the last of the reply), which is where an instrument starts,
// and checks the assumption against the rate it measures.
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
    return true;
  }
  s.periodAssumed = true;
  s.periodUs = 1000000;  // no list at all: the time column counts samples
  for (auto p = offered.rbegin(); p != offered.rend(); ++p) {
    if (*p > 0) {
      s.periodUs = *p;
      break;
    }
  }
  return true;
}

bool OpenCsv(DeviceStream& s, std::string* error) {
  if (s.csvPath.empty()) return true;
  std::error_code ec;
  if (s.csvPath.has_parent_path()) std::filesystem::create_directories(s.csvPath.parent_path(), ec);
  std::vector<std::string> labels;
  for (const ChannelInfo& c : s.columns) labels.push_back(c.Label());
  return s.csv.Open(s.csvPath, labels, error);
}

bool WritePlot(const DeviceStream& s, std::string* error) {
  if (s.plotPath.empty() || !s.plot) return true;
  PlotData data;
  data.title = "Vozi " + s.info.model + " " + s.info.description + " - device " +
               std::to_string(s.info.index) + ", period " + FormatPeriod(static_cast<int32_t>(s.periodUs));
  const double secondsPerSample = static_cast<double>(s.periodUs) / 1e6;
  for (size_t k = 0; k < s.columns.size(); ++k) {
    PlotChannel channel{s.columns[k].Label(), {}};
    for (const auto& [n, value] : s.plot->Points(k)) {
      channel.points.emplace_back(static_cast<double>(n) * secondsPerSample, value);
    }
    data.channels.push_back(std::move(channel));
  }
  std::error_code ec;
  if (s.plotPath.has_parent_path()) std::filesystem::create_directories(s.plotPath.parent_path(), ec);
  return WriteSvg(s.plotPath, data, error);
}

void PrintSummary(const DeviceStream& s, double elapsed, std::ostream& out) {
  const StreamStats& st = s.stats;
  out << DeviceName(s) << ": " << st.samples << " samples in " << FormatNumber(elapsed, 4)
      << " s, " << FormatNumber(SampleRate(st.samples, elapsed), 5) << "/s at a period of "
      << FormatPeriod(static_cast<int32_t>(s.periodUs)) << (s.periodAssumed ? " (assumed)" : "")
      << "; malformed lines " << st.malformed << ", ring overflows " << st.ringOverflows << "\n";
  if (st.malformed) {
    out << "  malformed: " << st.noPrefix << " without \"@ \", " << st.wrongCount
        << " with values missing or run together, " << st.badValue << " with bad values\n";
  }
  if (!s.csvPath.empty()) out << "  CSV:  " << s.csvPath.string() << "\n";
  if (!s.plotPath.empty()) out << "  plot: " << s.plotPath.string() << "\n";
  if (s.periodAssumed && RateContradictsPeriod(st.samples, elapsed, s.periodUs)) {
    out << "  warning: the rate does not match the assumed period; the time column is off."
           " Choose the period with --period.\n";
  }
}

// Everything up to streaming: start-up, description, choices, files.
int Prepare(EnablerSession& session, const std::vector<int32_t>& found,
            const AcquireOptions& o, std::vector<DeviceStream>& streams) {
  std::vector<int32_t> chosen = o.devices.empty() ? found : o.devices;
  std::sort(chosen.begin(), chosen.end());
  chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
  for (int32_t index : chosen) {
    if (std::find(found.begin(), found.end(), index) == found.end()) {
      ReportError("no instrument with index " + std::to_string(index) + " (found: " + List(found) + ")");
      return kExitNoInstrument;
    }
  }
  const bool several = chosen.size() > 1;
  streams.resize(chosen.size());
  for (size_t k = 0; k < chosen.size(); ++k) {
    const int32_t index = chosen[k];
    if (StopRequested()) return kExitInterrupted;
    if (!InitialiseReported(session, index, found.back())) return kExitStartupFailed;
    std::string failed, error;
    std::optional<DeviceInfo> info = ReadDeviceInfo(session, index, &failed);
    if (!info) {
      ReportError("device " + std::to_string(index) + ": " + failed + " refused",
                  session.FailureMessage(index, found.back()));
      return kExitStartupFailed;
    }
    DeviceStream& s = streams[k];
    s.info = std::move(*info);
    s.columns = ChooseColumns(s.info, o.channels, &error);
    if (!error.empty() || !ChoosePeriod(s, o.periodUs, &error)) {
      ReportError(error);
      return kExitUsage;
    }
    for (const ChannelInfo& c : s.columns) s.scaled.push_back(c.Scaled());
    s.csvPath = PerDevicePath(o.csv, index, several);
    s.plotPath = PerDevicePath(o.plot, index, several);
    if (!s.plotPath.empty()) s.plot = std::make_unique<PlotSeries>(s.columns.size());
    if (!OpenCsv(s, &error)) {
      ReportError(error);
      return kExitFailure;
    }
  }
  return kExitOk;
}

int ReportStreamFailures(EnablerSession& session, const std::vector<DeviceStream>& streams,
                         int32_t lastIndex) {
  for (const DeviceStream& s : streams) {
    if (s.failure.empty()) continue;
    const std::string message = session.FailureMessage(s.info.index, lastIndex);
    ReportError(DeviceName(s) + ": " + s.failure, message);
  }
  return kExitStreamFailed;
}

}  // namespace

int RunAcquire(EnablerSession& session, const std::vector<int32_t>& found,
               const AcquireOptions& o, std::ostream& out) {
  std::vector<DeviceStream> streams;
  if (const int status = Prepare(session, found, o, streams); status != kExitOk) return status;

  Acquisition acquisition(session, streams, {o.seconds, o.samples}, o.progress);
  std::string error;
  int32_t device = -1;
  if (!acquisition.Configure(o.periodUs, &error, &device) || !acquisition.Start(&error, &device)) {
    ReportError(error, session.FailureMessage(device, found.back()));
    return kExitStreamFailed;
  }
  const RunResult run = acquisition.Run();

  int status = kExitOk;
  for (DeviceStream& s : streams) {
    if (!s.csv.Close(&error) || !WritePlot(s, &error)) {
      ReportError(error);
      status = kExitFailure;
    }
  }
  for (const DeviceStream& s : streams) PrintSummary(s, run.elapsedSeconds, out);
  if (run.end == RunEnd::Failed) return ReportStreamFailures(session, streams, found.back());
  if (run.end == RunEnd::Interrupted) {
    out << "interrupted\n";
    // Without a limit Ctrl-C is the way to end, not a failure.
    if (o.seconds || o.samples) return kExitInterrupted;
  }
  return status;
}

}  // namespace vozihost
