// "vozi-sim --play": a recording vozi-host made, played as an instrument and
// recorded again, gives back its values within one scale step of the played
// ranges, and its gap where it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "host_process.h"

namespace hosttest {
namespace {

struct Csv {
  std::vector<std::string> comments;
  std::string header;
  std::vector<std::vector<std::string>> rows;
};

Csv ReadCsv(const std::filesystem::path& path) {
  Csv csv;
  for (const std::string& l : Lines(ReadFile(path))) {
    if (l.rfind("#", 0) == 0) {
      csv.comments.push_back(l);
    } else if (csv.header.empty()) {
      csv.header = l;
    } else {
      csv.rows.push_back(Split(l, ','));
    }
  }
  return csv;
}

TEST(HostPlay, ARecordingPlayedAndRecordedAgainKeepsItsValuesAndItsGap) {
  TempFolder t;
  const Env env = {{"TMPDIR", t.Path().string()}};
  const auto first = t.Path() / "first.csv", played = t.Path() / "played.csv", again = t.Path() / "again.csv";
  const HostRun record = RunHost({"acquire", "--simulate", "--samples", "1500", "--csv", first.string()}, t.Path(), env);
  ASSERT_EQ(record.exitCode, 0) << record.err;

  // Rows 700..729 lost: the next row says so, as vozi-host writes it.
  Csv csv = ReadCsv(first);
  ASSERT_EQ(csv.rows.size(), 1500u);
  csv.rows.erase(csv.rows.begin() + 700, csv.rows.begin() + 730);
  csv.rows[700].back() = "30";
  {
    std::ofstream out(played);
    for (const std::string& c : csv.comments) out << c << "\n";
    out << csv.header << "\n";
    for (const auto& row : csv.rows) {
      for (size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << row[i];
      out << "\n";
    }
  }

  // Looped, so that the stream does not stop just as the host takes its last
  // sample (it would see the data stop).
  const HostRun play = RunHost({"acquire", "--simulate", "--sim-arg=--play=" + played.string(), "--sim-arg=--loop",
                                "--allow-loss", "--samples", "1470", "--csv", again.string()}, t.Path(), env);
  ASSERT_EQ(play.exitCode, 0) << play.err;
  const Csv back = ReadCsv(again);
  EXPECT_EQ(back.header, csv.header);
  ASSERT_EQ(back.rows.size(), csv.rows.size());

  // One step of the range the player announces: the recorded values' own.
  const size_t columns = csv.rows[0].size() - 2;
  std::vector<double> step(columns);
  for (size_t c = 0; c < columns; ++c) {
    double low = INFINITY, high = -INFINITY;
    for (const auto& row : csv.rows) {
      low = std::min(low, std::stod(row[c + 1]));
      high = std::max(high, std::stod(row[c + 1]));
    }
    step[c] = (high > low ? high - low : std::max(1.0, std::fabs(low) * 1e-3)) / 32767.0;
  }
  std::vector<size_t> gaps;
  for (size_t i = 0; i < back.rows.size(); ++i) {
    const auto& want = csv.rows[i];
    const auto& got = back.rows[i];
    ASSERT_EQ(got.size(), want.size()) << "row " << i;
    for (size_t c = 0; c < columns; ++c) {
      EXPECT_NEAR(std::stod(got[c + 1]), std::stod(want[c + 1]), step[c] * 1.0001) << "row " << i << " column " << c + 1;
    }
    if (got.back() != "0") gaps.push_back(i);
  }
  // The host places and sizes a gap from the lines' arrival: its size to
  // within two samples; its row to within a few, since on a busy machine the
  // tool may look at the ring only after several lines came in behind the
  // gap. Its time column counts the gap in.
  ASSERT_EQ(gaps.size(), 1u) << "gaps found at " << gaps.size() << " rows";
  EXPECT_LE(std::abs(static_cast<long>(gaps[0]) - 700), 5);
  EXPECT_LE(std::abs(std::stol(back.rows[gaps[0]].back()) - 30), 2);
  EXPECT_NEAR(std::stod(back.rows.back()[0]), std::stod(csv.rows.back()[0]), 0.0021);
}

// An EDF+ recording keeps the instrument's ranges: played and recorded again,
// its samples come back as the very same rows.
TEST(HostPlay, AnEdfRecordingPlayedGivesBackTheSameRows) {
  TempFolder t;
  const Env env = {{"TMPDIR", t.Path().string()}};
  const auto csv = t.Path() / "first.csv", edf = t.Path() / "first.edf", again = t.Path() / "again.csv";
  // 1200 samples: the last one-second data record is padded, and that
  // padding must not be played.
  const HostRun record = RunHost({"acquire", "--simulate", "--samples", "1200", "--csv", csv.string(), "--edf",
                                  edf.string()}, t.Path(), env);
  if (record.exitCode != 0 && record.err.find("EDF") != std::string::npos) GTEST_SKIP() << record.err;
  ASSERT_EQ(record.exitCode, 0) << record.err;
  const HostRun play = RunHost({"acquire", "--simulate", "--sim-arg=--play=" + edf.string(), "--seconds", "1.5",
                                "--csv", again.string()}, t.Path(), env);
  // After the recording's end no line comes: the host sees the data stop.
  ASSERT_EQ(play.exitCode, 5) << play.err << play.out;
  EXPECT_NE(play.err.find("the data stopped arriving"), std::string::npos) << play.err;
  EXPECT_EQ(ReadCsv(again).rows, ReadCsv(csv).rows);
}

}  // namespace
}  // namespace hosttest
