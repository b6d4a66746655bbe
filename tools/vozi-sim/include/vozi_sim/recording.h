#pragma once
// A recording made by vozi-host (its CSV), played as an instrument: the
// recorded channels, names and units, at the recorded period, each row's
// values on the data line of its sample, and no line where the recording has
// a gap.
//
// The CSV does not keep the channels' ranges: each channel gets the smallest
// range that holds its recorded values (a constant one gets its value as
// the lower end), so
// its scale step is no coarser than the recording's and the host, scaling the
// values it receives, gets the recorded ones back within one step.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/sim_config.h"

namespace vozisim {

struct Recording {
  std::string model = "VZ-8";
  std::string version = "1.1.0";
  std::string firmware = "1";
  int64_t periodUs = 0;
  std::vector<std::string> names, units;  // one per recorded channel
  std::vector<float> minima, maxima;
  struct Row {
    uint64_t n;  // the sample's position: its time over the period
    std::vector<double> values;
  };
  std::vector<Row> rows;  // n increasing
  bool loop = false;

  // The data line for sample n (the recording's first row is sample 0), or
  // nullopt where the recording has no row (a gap, or past its end without
  // loop).
  std::optional<std::string> Line(uint64_t n) const;
  // Past the last row, without loop: nothing more will come.
  bool Ended(uint64_t n) const;
  // The longest time between two lines it sends, in seconds: its longest
  // gap and the row after it (one period when it has none).
  double LongestSilenceSeconds() const;
};

// One line a host can read before it streams, so that it can tell the
// recording's gaps from an instrument that stopped, and its end from a
// failure: "play: <lines> lines, longest silence <seconds> s", then
// ", looped" with loop (the count is that of one pass).
std::string PlaySummary(const Recording& recording);

// Reads vozi-host's CSV text. On failure returns "line N: why".
std::optional<std::string> ReadCsvRecording(std::string_view text, Recording& out);
// Reads vozi-host's EDF+ or BDF+ file (with libedf, in the vozi-sim program
// only): the ranges of its scaled channels are the instrument's own, and the
// spans its "BAD lost samples" and "BAD padding" annotations cover are gaps.
std::optional<std::string> ReadEdfRecording(const std::string& path, Recording& out);
// Whether a file's first bytes are an EDF or BDF header.
bool LooksLikeEdf(std::string_view start);

// The single-precision range the instrument announces for values in
// [low, high] (a constant one gets its value as the lower end).
void RangeOf(double low, double high, float& minimum, float& maximum);

// The instrument's description from the recording (model, firmware,
// channels, names, units, ranges, the one period it offers).
void DescribeRecording(const Recording& recording, SimConfig& cfg);

}  // namespace vozisim
