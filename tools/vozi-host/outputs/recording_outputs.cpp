#include "outputs/recording_outputs.h"

#include "outputs/number_text.h"
#include "outputs/output_files.h"
#include "outputs/svg_plot.h"

namespace vozihost {
namespace {

bool WritePlot(const DeviceStream& s, std::string* error) {
  PlotData data;
  data.title = "Vozi " + s.info.model + " " + s.info.description + " - device " +
               std::to_string(s.info.index) + ", period " +
               (s.periodUs > 0 ? FormatPeriod(static_cast<int32_t>(s.periodUs)) : "unknown");
  const double secondsPerSample = s.periodUs > 0 ? static_cast<double>(s.periodUs) / 1e6 : 1.0;
  for (size_t k = 0; k < s.columns.size(); ++k) {
    PlotChannel channel{s.columns[k].Label(), {}};
    for (const auto& [n, value] : s.plot->Points(k)) {
      channel.points.emplace_back(static_cast<double>(n) * secondsPerSample, value);
    }
    data.channels.push_back(std::move(channel));
  }
  for (double n : s.plotGaps) data.gaps.push_back(n * secondsPerSample);
  return WriteSvg(s.plotPath, data, error);
}

// A reader of the file alone must see that the recording ends early, and why.
std::string EndNote(const DeviceStream& s) {
  const std::string at = s.periodUs > 0 ? FormatSampleTime(s.Position(), s.periodUs) + " s of sample time"
                                        : "sample " + std::to_string(s.Position());
  return "the stream broke off after " + std::to_string(s.stats.samples) + " samples, at " + at + ": " +
         s.failure;
}

std::string EndLossNote(const DeviceStream& s) {
  const std::string from = s.periodUs > 0 ? FormatSampleTime(s.rowsEnd, s.periodUs) + " s" : std::to_string(s.rowsEnd);
  const std::string to =
      s.periodUs > 0 ? FormatSampleTime(s.rowsEnd + s.endLoss, s.periodUs) + " s" : std::to_string(s.rowsEnd + s.endLoss);
  return std::to_string(s.endLoss) + " samples lost just before the end of the run (" + GapCauseName(s.endLossCause) +
         "), from " + from + " to the limit at " + to + " of sample time";
}

}  // namespace

std::vector<OutputResult> FinishOutputs(DeviceStream& s) {
  std::vector<OutputResult> results;
  if (s.csv.IsOpen()) {
    if (!s.failure.empty()) s.csv.WriteComment("end", EndNote(s));
    if (s.endLoss > 0) s.csv.WriteComment("end", EndLossNote(s));
    OutputResult r{"CSV", IsStdout(s.csvPath) ? "standard output" : s.csvPath.string(), {}};
    s.csv.Close(&r.error);
    if (s.csv.ReaderGone()) r.where += ", until its reader went away";
    results.push_back(std::move(r));
  }
  if (s.plot) {
    OutputResult r{"plot", s.plotPath.string(), {}};
    WritePlot(s, &r.error);
    results.push_back(std::move(r));
  }
  if (s.edf) {
    OutputResult r{s.edf->Kind(), s.edfPath.string(), {}};
    s.edf->Close(&r.error);
    results.push_back(std::move(r));
  }
  return results;
}

}  // namespace vozihost
