// A field trace replayed: the library runs a session against the simulator
// (with one of its faults) under VOZI_TRACE, then the same session against
// vozi-sim's replay of that trace, again traced. The host's side of both
// traces must be the same apart from times: per thread of the host, the
// same frames sent, lines received, state changes and start-up steps.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/device_root.h"
#include "support/requirement_file.h"
#include "support/vozi_library.h"
#include "vozi_sim/instrument.h"
#include "vozi_sim/replay_instrument.h"
#include "vozi_sim/trace_file.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One host session with the instrument at `slavePath`, traced into `trace`.
// With `period`, the host selects that period before it streams.
void Session(const std::string& slavePath, const fs::path& trace, int32_t period = 0) {
  testing_support::RequirementFile none;  // firmware 1 is accepted
  testing_support::DeviceRoot root;
  root.AddDriver("ftdi_sio");
  vozisim::UsbSerialPortSpec adapter;
  adapter.serial = "ZOR12105";
  root.AddUsb(adapter, slavePath);
  setenv("VOZI_TRACE", trace.c_str(), 1);
  testing_support::VoziLibrary lib(VOZI_LIBRARY_PATH);
  unsetenv("VOZI_TRACE");
  ASSERT_TRUE(lib.Loaded()) << lib.Error();
  int32_t index = -1;
  ASSERT_EQ(lib.FindDevice(&index), 1);
  if (lib.Initialise(index) == 1) {
    CommandRecord record{};
    record.argument = 5;
    lib.DeviceCommand(index, VOZI_ENABLE_CHANNEL, &record);
    record = {};
    record.argument = period;
    if (period != 0) lib.DeviceCommand(index, VOZI_SELECT_PERIOD, &record);
    record = {};
    if (lib.DeviceCommand(index, VOZI_START_STREAM, &record) == 1) {
      char line[256];
      for (int n = 0; n < 40 && lib.ReadLine(index, line, sizeof line, 2000) == 1; ++n) {
      }
      record = {};
      lib.DeviceCommand(index, VOZI_STOP_STREAM, &record);
    }
  }
  lib.CloseAll();
}

// The host's side of a trace without times: for each thread (in order of
// first appearance), its events in order, numbers of milliseconds waited out,
// and a run of one event repeated counted once: the host repeats an
// unanswered frame on its own clock, so how often is a matter of time.
std::vector<std::vector<std::string>> HostSide(const fs::path& trace) {
  const std::regex event(R"(^\d+\.\d{6} \[(\d+)\] \S+ (.*)$)");
  const std::regex waited(R"(\d+ ms)");
  std::map<std::string, size_t> threads;
  std::vector<std::vector<std::string>> side;
  std::istringstream in(Slurp(trace));
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, event)) continue;
    const auto [at, added] = threads.emplace(m[1], side.size());
    if (added) side.emplace_back();
    std::string text = std::regex_replace(m[2].str(), waited, "_ ms");
    if (side[at->second].empty() || side[at->second].back() != text) side[at->second].push_back(std::move(text));
  }
  return side;
}

struct TempFolder {
  TempFolder() {
    std::string name = (fs::temp_directory_path() / "vozi-replay-XXXXXX").string();
    if (mkdtemp(name.data()) != nullptr) path = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

vozisim::ReplayScript Script(const fs::path& trace) {
  vozisim::TraceFile parsed;
  vozisim::ReplayScript script;
  const auto parseError = vozisim::ParseTrace(Slurp(trace), parsed);
  EXPECT_FALSE(parseError) << *parseError;
  const auto scriptError = vozisim::BuildReplayScript(parsed, "0", script);
  EXPECT_FALSE(scriptError) << *scriptError;
  return script;
}

struct ReplayCase {
  const char* name;
  std::function<void(vozisim::SimConfig&)> fault;
  double speed;
  const char* mustShow;  // an event the field trace holds, so the fault did happen
};

// A field run against the simulator with one fault, replayed: the host-side
// traces are equal apart from times.
void ExpectReplayMatchesTheField(const ReplayCase& c) {
  SCOPED_TRACE(c.name);
  TempFolder folder;
  ASSERT_FALSE(folder.path.empty());
  const fs::path field = folder.path / "field.trace", replayed = folder.path / "replay.trace";
  {
    vozisim::SimConfig cfg;
    c.fault(cfg);
    vozisim::Instrument sim(cfg);
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    Session(sim.SlavePath(), field);
  }
  ASSERT_NE(Slurp(field).find(c.mustShow), std::string::npos) << Slurp(field);

  vozisim::ReplayInstrument replay(Script(field), c.speed);
  std::vector<std::string> complaints;
  replay.SetComplaintListener([&](const std::string& why) { complaints.push_back(why); });
  ASSERT_TRUE(replay.Start()) << replay.LastError();
  Session(replay.SlavePath(), replayed);
  replay.Stop();
  EXPECT_TRUE(complaints.empty()) << complaints.front();
  EXPECT_TRUE(replay.Finished() || replay.HungUp());
  EXPECT_EQ(HostSide(replayed), HostSide(field)) << "field:\n" << Slurp(field) << "\nreplay:\n" << Slurp(replayed);
}

TEST(Replay, AHostMeetsTheSameInstrumentAsInTheField) {
  const std::vector<ReplayCase> cases = {
      {"clean", [](vozisim::SimConfig&) {}, 1.0, "state Stopping -> Idle"},
      {"damaged lines", [](vozisim::SimConfig& c) { c.noiseEvery = 7; }, 2.0, "recv \"\\x"},
      {"hang-up mid-stream", [](vozisim::SimConfig& c) { c.hangUpAfter = 25; }, 1.0, "step reader parked: the port failed"},
      {"refused firmware", [](vozisim::SimConfig& c) { c.firmware = "2"; }, 1.0, "refused"},
  };
  for (const ReplayCase& c : cases) ExpectReplayMatchesTheField(c);
}

// The library waits 15 s for a silent instrument, in the field run and again
// in the replay: the slow shard.
TEST(ReplaySlow, ASilentStartUpReplaysToTheSameFailure) {
  ExpectReplayMatchesTheField({"silent start-up", [](vozisim::SimConfig& c) { c.silent = true; }, 1.0,
                               "step no version line"});
}

// A host that sends what the field run did not (here the trace's stop frame
// is made another) meets a silent instrument from there, and the replay
// says which frame it did not expect.
TEST(Replay, AFrameTheTraceDoesNotHaveIsNamedAndAnsweredWithSilence) {
  TempFolder folder;
  ASSERT_FALSE(folder.path.empty());
  const fs::path field = folder.path / "field.trace", replayed = folder.path / "replay.trace";
  {
    vozisim::Instrument sim;
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    Session(sim.SlavePath(), field);
  }
  std::string text = Slurp(field);
  const size_t stop = text.find("sent \":S\\n\"", text.find("state Stopping"));
  ASSERT_NE(stop, std::string::npos) << text;
  text.replace(stop, 11, "sent \":Q\\n\"");
  vozisim::TraceFile trace;
  vozisim::ReplayScript script;
  ASSERT_FALSE(vozisim::ParseTrace(text, trace));
  ASSERT_FALSE(vozisim::BuildReplayScript(trace, "", script));

  vozisim::ReplayInstrument replay(std::move(script));
  std::vector<std::string> complaints;
  replay.SetComplaintListener([&](const std::string& why) { complaints.push_back(why); });
  ASSERT_TRUE(replay.Start()) << replay.LastError();
  Session(replay.SlavePath(), replayed);
  replay.Stop();
  EXPECT_TRUE(replay.Diverged());
  ASSERT_EQ(complaints.size(), 1u);
  EXPECT_NE(complaints[0].find("the host sent \":S\\n\", where the trace has \":Q\\n\""), std::string::npos)
      << complaints[0];
  const std::string after = Slurp(replayed);
  const size_t stopping = after.find("state Stopping");
  ASSERT_NE(stopping, std::string::npos) << after;
  EXPECT_EQ(after.find("recv \"S", stopping), std::string::npos) << "silent after the unexpected frame\n" << after;
}

}  // namespace
