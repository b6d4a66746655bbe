// "vozi-host acquire" against simulated instruments: the CSV must hold the
// simulator's own waveforms, back in physical units.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "host_process.h"
#include "vozi_sim/description.h"
#include "vozi_sim/samples.h"

namespace hosttest {
namespace {

// The physical value the simulator sent for field `channel` of sample n, as
// the library sees it: clamped into the channel's range, and a missing
// value ("*") at the bottom of the range (the library writes 0 for it).
double SentValue(const vozisim::SimConfig& cfg, size_t channel, uint64_t n, double low, double high) {
  const std::string text = vozisim::DataFields(cfg, n)[channel];
  if (text == "*") return low;
  return std::clamp(std::stod(text), low, high);
}

// Checks every row of a CSV written at periodUs for the given channels
// against what the simulator with `cfg` sent for that sample.
void ExpectCsvMatchesSimulator(const std::filesystem::path& csv, const vozisim::SimConfig& cfg,
                               const std::vector<size_t>& channels, int64_t periodUs, size_t rows) {
  std::vector<std::string> lines;
  for (const std::string& l : Lines(ReadFile(csv))) {
    if (l.rfind("#", 0) != 0) lines.push_back(l);
  }
  ASSERT_EQ(lines.size(), rows + 1) << csv;
  const std::vector<vozisim::ChannelSpec> channelInfo = vozisim::ResolveChannels(cfg);
  std::string header = "time_s";
  for (size_t c : channels) header += "," + channelInfo[c].name + " (" + channelInfo[c].unit + ")";
  EXPECT_EQ(lines[0], header + ",gap");
  for (size_t n = 0; n < rows; ++n) {
    const auto fields = Split(lines[n + 1], ',');
    ASSERT_EQ(fields.size(), channels.size() + 2) << "row " << n << ": " << lines[n + 1];
    EXPECT_EQ(fields.back(), "0") << "row " << n;
    EXPECT_EQ(fields[0], vozisim::TimeText(n, periodUs)) << "row " << n;
    for (size_t k = 0; k < channels.size(); ++k) {
      const vozisim::ChannelSpec& channel = channelInfo[channels[k]];
      const double low = *vozisim::RangeValue(channel.minimum, false);
      const double high = *vozisim::RangeValue(channel.maximum, true);
      const double sent = SentValue(cfg, channels[k], n, low, high);
      // The 0..32767 text rounds to the nearest step: half a step off at
      // most (plus the single-precision scaling and 7-digit printing).
      const double step = (high - low) / 32767;
      EXPECT_NEAR(std::stod(fields[k + 1]), sent, 0.52 * step + std::abs(sent) * 1e-6)
          << channel.name << " at sample " << n;
    }
  }
}

TEST(HostAcquire, CsvHoldsTheSimulatorsWaveformsInPhysicalUnits) {
  TempFolder t;
  const auto csv = t.Path() / "out" / "samples.csv";
  const auto svg = t.Path() / "out" / "samples.svg";
  std::filesystem::create_directory(t.Path() / "out");
  // Channel 4 is sent as "*" every tenth sample: the library gives it the
  // bottom of its range.
  // A wave period of 100 samples takes every waveform over its whole range.
  const HostRun run = RunHost({"acquire", "--simulate", "--sim-arg=--wave-period=100",
                               "--sim-arg=--missing-channel=4",
                               "--sim-arg=--missing-every=10", "--period", "10000", "--channels",
                               "5,1,4,2,4", "--samples", "150", "--csv", csv.string(), "--plot",
                               svg.string()},
                              t.Path(), {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  vozisim::SimConfig cfg;
  cfg.wavePeriod = 100;
  cfg.missingChannel = 4;
  cfg.missingEvery = 10;
  // Channels come in increasing order, each once, whatever order was asked.
  ExpectCsvMatchesSimulator(csv, cfg, {1, 2, 4, 5}, 10000, 150);
  EXPECT_NE(run.out.find("150 samples"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  period: 10 ms (selected)\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("malformed lines 0, ring overflows 0"), std::string::npos) << run.out;
  const std::string plot = ReadFile(svg);
  size_t polylines = 0;
  for (size_t at = plot.find("<polyline"); at != std::string::npos; at = plot.find("<polyline", at + 1)) {
    ++polylines;
  }
  EXPECT_EQ(polylines, 4u);
  EXPECT_NE(plot.find("Counter (count)"), std::string::npos);
}

TEST(HostAcquire, SeveralInstrumentsEachGetTheirOwnFiles) {
  TempFolder t;
  const auto csv = t.Path() / "run.csv";
  // Left at 100 ms (position 5, after EndOfCycle), as an earlier host's
  // --period 100000 leaves them.
  const HostRun run = RunHost({"acquire", "--simulate=2", "--sim-arg=--start-period=5", "--samples", "100",
                               "--csv", csv.string()},
                              t.Path(), {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_FALSE(std::filesystem::exists(csv));
  // Without --period the tool selects where an instrument starts: the first
  // period it offers, 1 ms.
  EXPECT_NE(run.out.find("  period: 1 ms (selected: the first the instrument offers"), std::string::npos)
      << run.out;
  ExpectCsvMatchesSimulator(t.Path() / "run-0.csv", {}, {1, 2, 3, 4, 5}, 1000, 100);
  ExpectCsvMatchesSimulator(t.Path() / "run-1.csv", {}, {1, 2, 3, 4, 5}, 1000, 100);
  EXPECT_NE(run.out.find("device 0 (VZ-8, 12105A"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("device 1 (VZ-8, 12115A"), std::string::npos) << run.out;
}

TEST(HostAcquire, ChosenDeviceOnly) {
  TempFolder t;
  const auto csv = t.Path() / "one.csv";
  const HostRun run = RunHost({"acquire", "--simulate=2", "--device", "1", "--channels", "3",
                               "--samples", "20", "--csv", csv.string()},
                              t.Path(), {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // One device chosen: the file name as given.
  ExpectCsvMatchesSimulator(csv, {}, {3}, 1000, 20);
  EXPECT_EQ(run.out.find("device 0 ("), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("device 1 ("), std::string::npos) << run.out;
}

}  // namespace
}  // namespace hosttest
