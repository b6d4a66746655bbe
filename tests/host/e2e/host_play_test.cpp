// "vozi-sim --play": a recording vozi-host made, played as an instrument and
// recorded again, gives back its values within one scale step of the played
// ranges, and its gap where it was.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

void WriteCsv(const std::filesystem::path& path, const Csv& csv) {
  std::ofstream out(path);
  for (const std::string& c : csv.comments) out << c << "\n";
  out << csv.header << "\n";
  for (const auto& row : csv.rows) {
    for (size_t i = 0; i < row.size(); ++i) out << (i ? "," : "") << row[i];
    out << "\n";
  }
}

// Compares a recording played and recorded again with the played one, row
// by row: each value within one step of the range the player announces (the
// recorded values' own). Returns the rows with a gap.
// "row (its gap) ..." for a failure's message.
std::string GapsText(const Csv& csv, const std::vector<size_t>& gaps) {
  std::string text;
  for (size_t g : gaps) text += std::to_string(g) + " (" + csv.rows[g].back() + ") ";
  return text;
}

std::vector<size_t> ExpectSameValues(const Csv& played, const Csv& back) {
  const size_t columns = played.rows[0].size() - 2;
  std::vector<double> step(columns);
  for (size_t c = 0; c < columns; ++c) {
    double low = INFINITY, high = -INFINITY;
    for (const auto& row : played.rows) {
      low = std::min(low, std::stod(row[c + 1]));
      high = std::max(high, std::stod(row[c + 1]));
    }
    step[c] = (high > low ? high - low : std::max(1.0, std::fabs(low) * 1e-3)) / 32767.0;
  }
  std::vector<size_t> gaps;
  for (size_t i = 0; i < std::min(back.rows.size(), played.rows.size()); ++i) {
    const auto& want = played.rows[i];
    const auto& got = back.rows[i];
    EXPECT_EQ(got.size(), want.size()) << "row " << i;
    if (got.size() != want.size()) continue;
    for (size_t c = 0; c < columns; ++c) {
      EXPECT_NEAR(std::stod(got[c + 1]), std::stod(want[c + 1]), step[c] * 1.0001) << "row " << i << " column " << c + 1;
    }
    if (got.back() != "0") gaps.push_back(i);
  }
  return gaps;
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
  WriteCsv(played, csv);

  // Looped, so that the stream does not stop just as the host takes its last
  // sample (it would see the data stop).
  const HostRun play = RunHost({"acquire", "--simulate", "--sim-arg=--play=" + played.string(), "--sim-arg=--loop",
                                "--allow-loss", "--samples", "1470", "--csv", again.string()}, t.Path(), env);
  ASSERT_EQ(play.exitCode, 0) << play.err;
  const Csv back = ReadCsv(again);
  EXPECT_EQ(back.header, csv.header);
  ASSERT_EQ(back.rows.size(), csv.rows.size());

  const std::vector<size_t> gaps = ExpectSameValues(csv, back);
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
  // The tool started the player, so it knows the recording's end: it ends
  // there, before the 1.5 s asked for, and that is no lost instrument.
  ASSERT_EQ(play.exitCode, 0) << play.err << play.out;
  EXPECT_NE(play.out.find("end: the played recording ended (all its 1200 lines came)"), std::string::npos)
      << play.out;
  EXPECT_EQ(ReadCsv(again).rows, ReadCsv(csv).rows);
}

// A recording made across a 4 s outage (the recorder's file of a run whose
// broker was away): 750 rows, the time column jumping by 4 s, 750 more.
// Returns it as written.
Csv MakeRecordingWithALongGap(const TempFolder& t, const std::filesystem::path& played) {
  const auto first = t.Path() / "first.csv";
  const HostRun record = RunHost({"acquire", "--simulate", "--samples", "1500", "--csv", first.string()}, t.Path(),
                                 {{"TMPDIR", t.Path().string()}});
  EXPECT_EQ(record.exitCode, 0) << record.err;
  Csv csv = ReadCsv(first);
  EXPECT_EQ(csv.rows.size(), 1500u);
  for (size_t i = 750; i < csv.rows.size(); ++i) {
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", std::stod(csv.rows[i][0]) + 4.0);
    csv.rows[i][0] = time;
  }
  if (csv.rows.size() > 750) csv.rows[750].back() = "4000";
  WriteCsv(played, csv);
  return csv;
}

// Longer than the 3 s after which a silent instrument counts as stopped:
// the tool started the player, so the gap is the recording's, and it plays
// to its end with every row after the gap, the gap at its place.
TEST(HostPlay, ARecordingWithAFourSecondGapPlaysToItsEnd) {
  TempFolder t;
  const auto played = t.Path() / "played.csv", again = t.Path() / "again.csv";
  const Csv csv = MakeRecordingWithALongGap(t, played);
  ASSERT_EQ(csv.rows.size(), 1500u);
  // No limit: the end of the recording ends it.
  const HostRun play = RunHost({"acquire", "--simulate", "--sim-arg=--play=" + played.string(), "--allow-loss",
                                "--csv", again.string()}, t.Path(), {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(play.exitCode, 0) << play.err << play.out;
  EXPECT_NE(play.out.find("end: the played recording ended (all its 1500 lines came)"), std::string::npos)
      << play.out;
  const Csv back = ReadCsv(again);
  ASSERT_EQ(back.rows.size(), csv.rows.size());
  const std::vector<size_t> gaps = ExpectSameValues(csv, back);
  ASSERT_EQ(gaps.size(), 1u) << "gaps at rows " << GapsText(back, gaps);
  EXPECT_LE(std::abs(static_cast<long>(gaps[0]) - 750), 5);
  EXPECT_LE(std::abs(std::stol(back.rows[gaps[0]].back()) - 4000), 2);
  // Away from where the gap was placed, every row has the played row's time.
  size_t offTime = 0, firstOff = 0;
  for (size_t i = 0; i < back.rows.size(); ++i) {
    if (i + 5 >= gaps[0] && i <= gaps[0] + 5) continue;
    if (std::fabs(std::stod(back.rows[i][0]) - std::stod(csv.rows[i][0])) <= 0.0021) continue;
    if (offTime++ == 0) firstOff = i;
  }
  EXPECT_EQ(offTime, 0u) << "rows not at the played row's time, the first " << firstOff << ": "
                         << back.rows[firstOff][0] << " s, played at " << csv.rows[firstOff][0] << " s";
}

// The silence a played recording may keep is no cover for a player that
// dies: its port hangs up, and the tool sees that at once.
TEST(HostPlay, APlayerThatDiesIsStillFoundAtOnce) {
  TempFolder t;
  const auto played = t.Path() / "played.csv", again = t.Path() / "again.csv";
  ASSERT_EQ(MakeRecordingWithALongGap(t, played).rows.size(), 1500u);
  HostProcess host({"acquire", "--simulate", "--sim-arg=--play=" + played.string(), "--allow-loss", "--csv",
                    again.string()},
                   {{"TMPDIR", t.Path().string()}}, t.Path());
  ASSERT_TRUE(WaitForLines(again, 100)) << host.Err();
  const pid_t sim = SimulatorOf(host);
  ASSERT_GT(sim, 0) << "the simulator is not a child of vozi-host";
  ASSERT_EQ(kill(sim, SIGKILL), 0);
  const auto lost = std::chrono::steady_clock::now();
  const std::optional<int> code = host.Wait(std::chrono::seconds(60));
  EXPECT_LT(std::chrono::steady_clock::now() - lost, std::chrono::seconds(5));
  EXPECT_EQ(code, 5) << host.Err();
  EXPECT_NE(host.Err().find("the instrument failed while streaming"), std::string::npos) << host.Err();
}

// A player started by hand tells the tool nothing: to the tool it is an
// instrument like any other, silent for 4 s, and stopped after 3. Given
// a longer silence limit, the tool waits the gap out.
TEST(HostPlay, APlayerStartedByHandNeedsALongerSilenceLimit) {
  TempFolder t;
  const auto played = t.Path() / "played.csv";
  const Csv csv = MakeRecordingWithALongGap(t, played);
  ASSERT_EQ(csv.rows.size(), 1500u);
  const struct {
    std::vector<std::string> options;
    int exitCode;
    const char* said;
  } cases[] = {
      {{}, 5, "the data stopped arriving"},
      {{"--silence-limit", "5"}, 0, "1000 samples"},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string name = std::to_string(k++);
    SCOPED_TRACE(c.options.empty() ? "no silence limit" : c.options[1]);
    const auto root = t.Path() / ("tree-" + name), again = t.Path() / ("again-" + name + ".csv");
    std::filesystem::create_directories(root);
    // Looped, so that its end is not the question here.
    Simulator player(root, "ZOR12105", {"--play=" + played.string(), "--loop"}, t.Path() / "player.out");
    std::vector<std::string> args = {"acquire", "--samples", "1000", "--allow-loss", "--csv", again.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const HostRun run = RunHost(args, t.Path(), {{"VOZI_DEVICE_ROOT", root.string()}});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err << run.out;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.err << run.out;
    const Csv back = ReadCsv(again);
    if (c.exitCode != 0) {
      // It stopped in the gap: the rows before it are all there is.
      EXPECT_EQ(back.rows.size(), 750u);
      continue;
    }
    ASSERT_EQ(back.rows.size(), 1000u);
    const std::vector<size_t> gaps = ExpectSameValues(csv, back);
    ASSERT_EQ(gaps.size(), 1u) << "gaps at rows " << GapsText(back, gaps);
    EXPECT_LE(std::abs(static_cast<long>(gaps[0]) - 750), 5);
    EXPECT_LE(std::abs(std::stol(back.rows[gaps[0]].back()) - 4000), 2);
  }
}

}  // namespace
}  // namespace hosttest
