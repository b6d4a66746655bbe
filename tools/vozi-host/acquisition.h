#pragma once
// The streaming part of "acquire": every chosen instrument configured
// (period, channels), started, drained line by line, converted, written and
// thinned for the plot, until the time or sample limit, a failure or Ctrl-C.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csv_writer.h"
#include "device_info.h"
#include "enabler_session.h"
#include "plot_series.h"
#include "stream_stats.h"

namespace vozihost {

struct StreamLimits {
  std::optional<double> seconds;   // wall-clock time from the start of streaming
  std::optional<uint64_t> samples; // per instrument
};

// One instrument during the acquisition.
struct DeviceStream {
  DeviceInfo info;
  std::vector<ChannelInfo> columns;         // enabled channels in the order they arrive
  std::vector<bool> scaled;                 // per column
  int64_t periodUs = 0;                     // period the time column uses
  bool periodAssumed = false;               // not selected by us: the instrument's first
  std::filesystem::path csvPath, plotPath;  // empty: not wanted
  CsvWriter csv;
  std::unique_ptr<PlotSeries> plot;
  StreamStats stats;
  bool done = false;    // sample limit reached; further lines are read and discarded
  std::string failure;  // why its stream broke off (empty: it did not)

  // Parses, converts and records one line. Lines past the limit are dropped;
  // the limit counts good samples.
  void Consume(const std::string& line, const StreamLimits& limits);

 private:
  std::vector<int32_t> decoded_;
  std::vector<double> physical_;
};

enum class RunEnd { Limit, Interrupted, Failed };

struct RunResult {
  RunEnd end = RunEnd::Limit;
  double elapsedSeconds = 0;
};

class Acquisition {
 public:
  Acquisition(EnablerSession& session, std::vector<DeviceStream>& streams, StreamLimits limits,
              bool showProgress)
      : session_(session), streams_(streams), limits_(limits), showProgress_(showProgress) {}

  // Sends the period and channel commands. False on a refusal, with what was
  // refused in *error and the instrument's index in *device.
  bool Configure(std::optional<int32_t> periodUs, std::string* error, int32_t* device);
  // StartStream on every instrument; false as above when one refuses (the
  // ones already started are stopped again).
  bool Start(std::string* error, int32_t* device);
  // Reads until the end; always leaves the instruments stopped.
  RunResult Run();

 private:
  bool DrainAll();
  bool WaitForLine();
  void CheckHealth(double now);
  void ShowProgress(double now, bool final);
  void StopAll();
  bool LimitReached(double elapsed) const;

  EnablerSession& session_;
  std::vector<DeviceStream>& streams_;
  StreamLimits limits_;
  bool showProgress_;
  std::vector<double> lastLineAt_;   // seconds since start, per stream
  std::vector<bool> ringWasFull_;
  size_t nextWait_ = 0;
  size_t progressWidth_ = 0;
  std::string line_;
};

}  // namespace vozihost
