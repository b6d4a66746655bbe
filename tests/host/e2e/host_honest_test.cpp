// vozi-host as a new user meets it: command-line conventions, failures that
// say what to do, signals at any stage, and data that never pretends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <iostream>
#include <thread>

#include "host_process.h"
#include "reaping_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> DataRows(const std::string& csv) {
  std::vector<std::string> rows;
  for (const std::string& l : Lines(csv)) {
    if (!l.empty() && l[0] != '#') rows.push_back(l);
  }
  return rows;
}

TEST(HostConventions, EachMistakeGetsAPlainAnswerBeforeAnythingStarts) {
  TempFolder t;
  const std::string same = (t.Path() / "same").string();
  const std::string unwritable = "/dev/null/run.svg";
  const auto noFolder = t.Path() / "no" / "run.csv";
  // One file under two names; a link to a file not there yet.
  const auto file = t.Path() / "a.csv", hard = t.Path() / "hard.csv", link = t.Path() / "link.csv";
  { std::ofstream{file}; }
  std::filesystem::create_hard_link(file, hard);
  std::filesystem::create_symlink("target.csv", link);
  // A FIFO is opened once: its reader sees the end of the data, not of a probe.
  const auto fifo = t.Path() / "fifo.csv";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] { fromFifo = ReadFile(fifo); });
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string expected;  // in standard output or error
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, "vozi-host 1."},
      {{"help"}, 0, "  --trace FILE"},  // the options of every command, as --help shows them
      {{"help", "acquire"}, 0, "--edf"},
      {{"acqire"}, 2, "unknown command \"acqire\"; the commands are list, acquire, publish, monitor, record, mark and help"},
      {{"acquire", "--second", "5"}, 2,
       "unknown option --second; did you mean --seconds?\n(vozi-host help acquire shows the options)"},
      {{"acquire", "--seconds", "0"}, 2, "vozi-host: --seconds must be greater than 0\n"},
      {{"acquire", "--samples", "1e3"}, 2, "--samples must be a whole number (got \"1e3\")"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", same, "--plot", same}, 2, "name the same file"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", file, "--plot", hard}, 2, "name the same file"},
      {{"acquire", "--simulate", "--samples", "5", "--edf", "-"}, 2, "only --csv can write to standard output"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", ""}, 2, "--csv needs a value"},
      {{"acquire", "--simulate", "--samples", "5", "--channels", ""}, 2, "--channels needs a value"},
      {{"acquire", "--simulate", "--samples", "5", "--seconds", ""}, 2, "--seconds needs a value"},
      {{"--library", "", "--simulate", "list"}, 2, "--library needs a value"},
      {{"--simulate=0", "list"}, 2, "--simulate must be between 1 and 16"},
      // Durations the tool cannot count are no instrument's fault.
      {{"acquire", "--simulate", "--seconds", "1e308", "--samples", "3"}, 2, "--seconds must be at most"},
      {{"acquire", "--simulate", "--seconds", "1e-300", "--samples", "3"}, 2, "--seconds must be at least"},
      {{"acquire", "--simulate", "--samples", "3", "--silence-limit", "0.99"}, 2,
       "--silence-limit must be a number of seconds from 1 to 86400 (got \"0.99\")"},
      {{"acquire", "--simulate", "--samples", "3", "--silence-limit", "86400.5"}, 2, "from 1 to 86400"},
      {{"acquire", "--simulate", "--samples", "3", "--silence-limit", "5s"}, 2, "from 1 to 86400 (got \"5s\")"},
      {{"acquire", "--simulate", "--samples", "3", "--silence-limit", "nan"}, 2, "from 1 to 86400"},
      {{"acquire", "--simulate", "--samples", "3", "--silence-limit", "86400"}, 0, "3 samples"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", noFolder.string()}, 1,
       noFolder.parent_path().string() + ": No such file or directory"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", link.string()}, 0, "5 samples"},
      {{"acquire", "--simulate", "--samples", "5", "--csv", fifo.string()}, 0, "5 samples"},
      // Found before the instrument starts: no summary, no samples.
      {{"acquire", "--simulate", "--samples", "5", "--plot", unwritable}, 1,
       "/dev/null: Not a directory"},
      {{"acquire", "--simulate", "--samples", "5"}, 0, "warning: no --csv, --edf or --plot"},
      {{"list"}, 3, "vozi-host --simulate list"},
      // A silent instrument would hold a start-up for 16 s: list alone must
      // not start it, and still shows where it is.
      {{"list", "--simulate", "--sim-arg=--silent"}, 0, "  port:           /"},
  };
  const Env env = {{"TMPDIR", t.Path().string()}, {"VOZI_DEVICE_ROOT", t.Path().string()}};
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    const auto start = Clock::now();
    const HostRun run = RunHost(c.args, t.Path(), env);
    EXPECT_EQ(run.exitCode, c.exitCode) << line << "\n" << run.err;
    EXPECT_TRUE(Has(run.out + run.err, c.expected)) << line << "\n" << run.out << run.err;
    EXPECT_FALSE(Has(run.out, "samples in")) << line << "\n" << run.out;
    // Every mistake found before anything starts, simulators included.
    if (c.exitCode == 1 || c.exitCode == 2) {
      EXPECT_FALSE(Has(run.err, "simulated instrument")) << line << run.err;
    }
    EXPECT_LT(Clock::now() - start, 8s) << line;
  }
  EXPECT_FALSE(std::filesystem::exists(t.Path() / "same"));
  EXPECT_FALSE(std::filesystem::exists(noFolder.parent_path())) << "a folder made silently";
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link was replaced";
  EXPECT_EQ(DataRows(ReadFile(t.Path() / "target.csv")).size(), 6u);
  close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a reader the host never reached ends too
  reader.join();
  EXPECT_EQ(DataRows(fromFifo).size(), 6u);
}

TEST(HostConventions, CsvToStandardOutputWithItsHeader) {
  TempFolder t;
  const HostRun run = RunHost({"acquire", "--simulate", "--samples", "20", "--csv", "-"}, t.Path(),
                              {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists("-"));
  // Comments first (what a reader needs to know), then the data alone.
  EXPECT_EQ(run.out.rfind("# vozi-host: 1.", 0), 0u) << run.out;
  for (const char* key : {"\n# instrument: Vozi VZ-8 12105A, device 0, unique id 42\n", "\n# firmware: 1.1.0.1\n",
                          "\n# period: 1000 us", "\n# start: 20"}) {
    EXPECT_TRUE(Has(run.out, key)) << key << "\n" << run.out;
  }
  const auto rows = DataRows(run.out);
  ASSERT_EQ(rows.size(), 21u) << run.out;
  EXPECT_EQ(rows[0].substr(rows[0].size() - 4), ",gap");
  EXPECT_TRUE(Has(run.err, "20 samples")) << run.err;
}

// An instrument that never acknowledges the stream start, or sends nothing,
// fails however short the run.
TEST(HostFailuresSlow, NoDataIsAFailureEvenForAShortRun) {
  TempFolder t;
  const HostRun run = RunHost({"acquire", "--simulate", "--sim-arg=--no-stream-ack", "--seconds", "1"},
                              t.Path(), {{"TMPDIR", t.Path().string()}});
  EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
  EXPECT_TRUE(Has(run.err, "no data arrived")) << run.err;
  EXPECT_FALSE(Has(run.err, "--period")) << run.err;
}

// The refused instrument is not the one found last, which the library's
// message describes: the tool names the instrument it is starting and gives
// that one's own reason.
TEST(HostFailures, OneInstrumentFailingToStartStopsNoOther) {
  TempFolder t;
  Simulator refused(t.Path(), "ZOR12105", {"--firmware=2"}, t.Path() / "refused.out");
  Simulator good(t.Path(), "ZOR12115", {}, t.Path() / "good.out");
  const Env env = {{"VOZI_DEVICE_ROOT", t.Path().string()}};
  const auto csv = t.Path() / "run.csv";
  const std::string reason = "it answered and was refused, most likely for its firmware; --trace FILE shows";
  HostRun run = RunHost({"acquire", "--samples", "50", "--csv", csv.string()}, t.Path(), env);
  EXPECT_EQ(run.exitCode, 9) << run.err;
  EXPECT_TRUE(Has(run.err, "vozi-host: starting device 0 ...\nvozi-host: device 0: start-up failed after "))
      << run.err;
  EXPECT_TRUE(Has(run.err, "vozi-host: starting device 1 ...\n")) << run.err;
  EXPECT_TRUE(Has(run.out, "not recorded: device 0: start-up failed: " + reason)) << run.out << run.err;
  EXPECT_EQ(DataRows(ReadFile(t.Path() / "run-1.csv")).size(), 51u);
  EXPECT_FALSE(std::filesystem::exists(t.Path() / "run-0.csv"));

  run = RunHost({"list", "--probe"}, t.Path(), env);
  EXPECT_EQ(run.exitCode, 4) << run.err;
  EXPECT_TRUE(Has(run.out, "device 0\n  unique id:      42\n  description:    -\n  port:           -\n"
                           "  start-up failed: " + reason))
      << run.out;

  run = RunHost({"acquire", "--samples", "50", "--require-all", "--csv", (t.Path() / "all.csv").string()},
                t.Path(), env);
  EXPECT_EQ(run.exitCode, 4) << run.err;
  EXPECT_FALSE(std::filesystem::exists(t.Path() / "all-1.csv"));
}

// An instrument that sends faster than the tool can write fills the
// library's ring: lines are lost, and the tool must say where and fail.
// Every jump of the counter channel (the sample number, modulo 32768) must
// sit on a row whose gap is marked, including the jumps onto the short lines
// (round thousands, where the ramps are 0) that slip into the last bytes of
// a ring that has just refused longer ones.
TEST(HostHonestData, FloodedRingIsMarkedAndFails) {
  TempFolder t;
  const auto csv = t.Path() / "flood.csv";
  const auto svg = t.Path() / "flood.svg";
  const HostRun run = RunHost({"acquire", "--simulate", "--sim-arg=--burst", "--sim-arg=--channels=27",
                               "--samples", "60000", "--csv", csv.string(), "--plot", svg.string()},
                              t.Path(), {{"TMPDIR", t.Path().string()}}, 180s);  // slow under TSan
  EXPECT_EQ(run.exitCode, 8) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "  LOST: samples are missing at ")) << run.out;
  const auto rows = DataRows(ReadFile(csv));
  ASSERT_GT(rows.size(), 1u);
  ASSERT_EQ(rows[0].substr(rows[0].size() - 4), ",gap");
  ASSERT_EQ(rows[0].find("Counter (count)"), rows[0].find(",Counter") + 1);
  const auto field = [](const std::string& row, size_t n) { return Split(row, ',').at(n); };
  size_t marked = 0, unmarkedJumps = 0;
  std::string firstUnmarked;
  long previous = -1;
  for (size_t k = 1; k < rows.size(); ++k) {
    const bool gap = rows[k].substr(rows[k].rfind(',') + 1) != "0";
    marked += gap;
    const long counter = std::stol(field(rows[k], 5));
    if (previous >= 0 && counter != (previous + 1) % 32768 && !gap) {
      if (!unmarkedJumps++) firstUnmarked = std::to_string(previous) + " -> " + rows[k].substr(0, 80);
    }
    previous = counter;
  }
  EXPECT_GT(marked, 0u);
  EXPECT_EQ(unmarkedJumps, 0u) << "first: " << firstUnmarked;
  EXPECT_TRUE(Has(ReadFile(svg), "class=\"gap\""));
}

// Signals at every stage: the same Ctrl-C delivered twice (timeout(1)
// signals the process and its group) counts once and loses nothing; during
// a start-up the tool answers at once, and a second Ctrl-C ends it at once,
// leaving nothing behind.
class HostSignals : public ReapingHostTest {
 protected:
  void ExpectNothingLeft() {
    // The host's simulators may have ended just now: collect them first.
    for (int k = 0; k < 100 && waitpid(-1, nullptr, WNOHANG) > 0; ++k) {
    }
    ExpectTreeAndSimulatorsGone();
  }
};

TEST_F(HostSignals, DoubleDeliveryAndStartUp) {
  const auto csv = t.Path() / "run.csv";
  {
    HostProcess host({"acquire", "--simulate", "--seconds", "60", "--csv", csv.string()},
                     {{"TMPDIR", tmp().string()}}, t.Path());
    const auto deadline = Clock::now() + 15s;
    while (DataRows(ReadFile(csv)).size() < 200 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    kill(host.Pid(), SIGINT);
    kill(host.Pid(), SIGINT);
    EXPECT_EQ(host.Wait(20s), 130) << host.Err();
    const std::string out = host.Out();
    const size_t at = out.find("device 0 (VZ-8, 12105A): ");
    ASSERT_NE(at, std::string::npos) << out << host.Err();
    // Every sample the summary counts is in the file, which ends on a whole row.
    const uint64_t summarised = std::stoull(out.substr(at + 25));
    const std::string text = ReadFile(csv);
    EXPECT_EQ(DataRows(text).size(), summarised + 1);
    EXPECT_EQ(text.back(), '\n');
    ExpectNothingLeft();
  }
  {
    // Ctrl-C typed twice on the terminal during a start-up: the first is
    // answered at once, the second ends the tool at once, however soon.
    HostProcess host({"acquire", "--simulate", "--sim-arg=--silent", "--seconds", "5"},
                     {{"TMPDIR", tmp().string()}}, t.Path(), {.terminal = true});
    const auto waitFor = [&](const std::string& text) {
      const auto deadline = Clock::now() + 15s;
      while (!Has(host.Err(), text) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
      return Has(host.Err(), text);
    };
    ASSERT_TRUE(waitFor("vozi-host: starting device 0")) << host.Err();
    host.Type("\x03");
    ASSERT_TRUE(waitFor("vozi-host: stopping; Ctrl-C again to end at once")) << host.Err();
    host.Type("\x03");
    // The start-up would hold the tool for 16 s.
    EXPECT_EQ(host.Wait(10s), 130) << host.Err();
    EXPECT_TRUE(Has(host.Err(), "vozi-host: ending at once")) << host.Err();
    ExpectNothingLeft();
  }
}

// An instrument that streams at a longer period than the one selected (this
// one ignores the selection of a period it cannot read itself) is named, not
// only counted as loss.
TEST(HostHonestData, LinesSlowerThanThePeriodAreNamed) {
  TempFolder t;
  const HostRun run = RunHost({"acquire", "--simulate", "--sim-arg=--periods=0.001s,0.01", "--seconds", "2"},
                              t.Path(), {{"TMPDIR", t.Path().string()}});
  EXPECT_TRUE(Has(run.out, "  warning: fewer lines arrived than the period allows (1000 lines/s at 1 ms): "
                           "either the instrument does not stream at 1 ms"))
      << run.out << run.err;
}

// Lines held up on the way (here the instrument is frozen for 1.5 s, as a
// busy machine may hold up any process) arrive late, all at once. Only the
// count of lines, not the clock, can tell late from lost: no gap, no loss,
// and the time column runs on as the samples' own counter does.
TEST(HostHonestData, LateLinesAreNotLost) {
  TempFolder t;
  const auto csv = t.Path() / "late.csv";
  HostProcess host({"acquire", "--simulate", "--period", "10000", "--seconds", "4", "--csv", csv.string()},
                   {{"TMPDIR", t.Path().string()}}, t.Path());
  WaitForLines(csv, 60);  // the header comments and about 50 rows
  const pid_t sim = SimulatorOf(host);
  ASSERT_GT(sim, 0) << "the simulator is not a child of vozi-host";
  ASSERT_EQ(kill(sim, SIGSTOP), 0);
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(kill(sim, SIGCONT), 0);
  EXPECT_EQ(host.Wait(60s), 0) << host.Out() << host.Err();
  EXPECT_FALSE(Has(host.Out(), "LOST")) << host.Out();
  EXPECT_FALSE(Has(host.Out(), "more lines arrived")) << host.Out();
  const auto rows = DataRows(ReadFile(csv));
  ASSERT_EQ(rows.size(), 401u);  // the header and 4 s at 10 ms
  const auto field = [](const std::string& row, size_t n) { return Split(row, ',').at(n); };
  const long first = std::stol(field(rows[1], 5));
  for (size_t k = 1; k < rows.size(); ++k) {
    SCOPED_TRACE(rows[k]);
    ASSERT_EQ(rows[k].substr(rows[k].rfind(',') + 1), "0");
    ASSERT_EQ(std::stol(field(rows[k], 5)), (first + static_cast<long>(k) - 1) % 32768);
    ASSERT_NEAR(std::stod(field(rows[k], 0)), static_cast<double>(k - 1) * 0.01, 1e-9);
  }
}

// The tool itself stalled (SIGSTOP, twice, for different lengths) while it
// records three instruments at 1 ms: the buffers keep a backlog and the
// library's ring refuses the rest. The counter channel (the sample's index
// at the instrument, modulo 32768) is the truth: every row sits at its
// index within 2 samples, and a row is marked exactly where the counter
// jumps. Lines the ring let in between refused ones have no known place:
// they are left out and counted with the gap.
TEST(HostHonestData, StalledToolKeepsEveryRowAtItsTime) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "under a sanitizer the tool cannot keep up with three instruments at 1 kHz";
#endif
  TempFolder t;
  const auto csv = t.Path() / "s.csv";
  HostProcess host({"acquire", "--simulate=3", "--period", "1000", "--seconds", "9", "--allow-loss", "--csv",
                    csv.string()},
                   {{"TMPDIR", t.Path().string()}}, t.Path());
  const auto first = t.Path() / "s-0.csv";
  size_t rows = 500;
  for (const auto stall : {1500ms, 4000ms}) {
    ASSERT_TRUE(WaitForLines(first, rows)) << host.Err();
    ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(stall);
    ASSERT_EQ(kill(host.Pid(), SIGCONT), 0);
    rows = Lines(ReadFile(first)).size() + 1000;
  }
  ASSERT_EQ(host.Wait(120s), 0) << host.Out() << host.Err();
  for (int k = 0; k < 3; ++k) {
    const auto path = t.Path() / ("s-" + std::to_string(k) + ".csv");
    SCOPED_TRACE(path.filename().string());
    const auto data = DataRows(ReadFile(path));
    ASSERT_GT(data.size(), 1000u);
    ASSERT_EQ(data[0].find("Counter (count)"), data[0].find(",Counter") + 1);
    long previous = -1, offset = 0;
    size_t off = 0, falseMarks = 0, unmarked = 0;
    for (size_t r = 1; r < data.size(); ++r) {
      const auto fields = Split(data[r], ',');
      const long position = std::lround(std::stod(fields.at(0)) * 1000);
      const long counter = std::stol(fields.at(5));
      const bool marked = fields.back() != "0";
      if (r == 1) offset = counter - position;
      const bool jump = previous >= 0 && counter != (previous + 1) % 32768;
      const long error = ((counter - offset - position) % 32768 + 49152) % 32768 - 16384;
      if (std::abs(error) > 2 && !off++) std::cerr << "first row off by " << error << ": " << data[r] << "\n";
      if (marked && !jump && !falseMarks++) std::cerr << "first mark on no jump: " << data[r] << "\n";
      if (jump && !marked && !unmarked++) std::cerr << "first unmarked jump: " << previous << " -> " << data[r] << "\n";
      previous = counter;
    }
    EXPECT_EQ(off, 0u) << "rows off by more than 2 samples";
    EXPECT_EQ(falseMarks, 0u) << "gap marks where nothing is missing";
    EXPECT_EQ(unmarked, 0u) << "jumps of the counter on unmarked rows";
  }
}

}  // namespace
}  // namespace hosttest
