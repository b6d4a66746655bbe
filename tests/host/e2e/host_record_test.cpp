// "vozi-host record" against the real mosquitto on the loopback: what it
// records from the broker is what the publisher's own CSV holds (values,
// gap rows), a publisher that starts again gives a new file, and messages
// that fail their checks are skipped and counted while the recording goes on.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>

#include <cmath>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "recorder_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

// The unique id of a publisher's CSV, from its comment line.
std::string IdOf(const std::filesystem::path& csv) {
  for (const std::string& l : Lines(ReadFile(csv))) {
    const size_t at = l.find(", unique id ");
    if (l.rfind("# instrument:", 0) == 0 && at != std::string::npos) return l.substr(at + 12);
  }
  return {};
}

size_t Ended(const Json& session) {
  size_t n = 0;
  for (const Json& s : session["streams"]) n += !s["end"].is_null();
  return n;
}

class HostRecord : public RecorderTest {
 protected:
  // Stops the recorder as Ctrl-C does; its last session.json.
  Json Stop(HostProcess& recorder) {
    kill(recorder.Pid(), SIGINT);
    EXPECT_EQ(recorder.Wait(20s), 0) << recorder.Err();
    return Json::parse(ReadFile(out() / "session.json"), nullptr, false);
  }

  // Waits until the recorder's standard error says `text`.
  static bool Says(HostProcess& p, const std::string& text) {
    for (auto until = std::chrono::steady_clock::now() + 60s; std::chrono::steady_clock::now() < until;) {
      if (p.Err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

};

TEST_F(HostRecord, RecordedFilesEqualThePublishersCsvAndARestartBeginsANewFile) {
  auto recorder = StartRecorder({"--csv"});
  // A flooded ring (lines refused, gaps of known and unknown size), then the
  // same instruments streaming again.
  const HostRun first = RunHost({"--simulate=2", "--sim-arg=--burst", "--sim-arg=--channels=27", "publish", "--broker",
                                 broker.Url(), "--samples", "8000", "--allow-loss", "--csv",
                                 (t.Path() / "first.csv").string(), "--edf", (t.Path() / "first.edf").string()},
                                t.Path(), env(), 120s);
  ASSERT_EQ(first.exitCode, 0) << first.err;
  const HostRun second = RunHost({"--simulate=2", "publish", "--broker", broker.Url(), "--samples", "400", "--csv",
                                  (t.Path() / "second.csv").string(), "--edf", (t.Path() / "second.edf").string()},
                                 t.Path(), env());
  ASSERT_EQ(second.exitCode, 0) << second.err;
  WaitForSession([](const Json& s) { return Ended(s) == 4; });
  const Json session = Stop(*recorder);
  ASSERT_EQ(session["streams"].size(), 4u);

  std::map<std::string, std::vector<Json>> byId;  // streams in the order they ended
  for (const Json& s : session["streams"]) byId[s["unique_id"].get<std::string>()].push_back(s);
  size_t gapRows = 0;
  for (const char* run : {"first", "second"}) {
    for (int device = 0; device < 2; ++device) {
      const auto published = t.Path() / (std::string(run) + "-" + std::to_string(device) + ".csv");
      const std::string id = IdOf(published);
      ASSERT_EQ(byId[id].size(), 2u) << id;
      const Json& stream = byId[id][run == std::string("first") ? 0 : 1];
      EXPECT_EQ(stream["end"], "stopped (limit)");
      ASSERT_EQ(stream["files"].size(), 2u) << stream;
      const auto recorded = out() / stream["files"][0].get<std::string>();
      EXPECT_EQ(recorded.extension(), ".csv");
      const auto edf = out() / stream["files"][1].get<std::string>();
      EXPECT_EQ(edf.extension(), ".edf");

      const auto want = RowsByTime(published);
      const auto got = RowsByTime(recorded);
      EXPECT_EQ(stream["samples"], got.size());
      // QoS 0 on the loopback loses nothing in practice; the comparison
      // holds for the rows both have, and nearly all must be there.
      EXPECT_GE(got.size() * 100, want.size() * 95) << recorded;
      size_t compared = 0;
      for (const auto& [time, row] : got) {
        const auto w = want.find(time);
        ASSERT_NE(w, want.end()) << recorded << " has a row at " << time << " the publisher never wrote";
        ASSERT_EQ(w->second.size(), row.size());
        // The gap column, unless the recorder missed the batch before it.
        if (got.size() == want.size()) {
          EXPECT_EQ(row.back(), w->second.back()) << recorded << " at " << time;
        }
        gapRows += row.back() != "0";
        for (size_t k = 0; k + 1 < row.size(); ++k) {
          const double p = std::stod(w->second[k]), r = std::stod(row[k]);
          ASSERT_NEAR(r, p, std::abs(p) * 1.5e-6 + 1e-9) << recorded << " at " << time << " column " << k;
        }
        ++compared;
      }
      EXPECT_GT(compared, 0u);
      // A stream received whole is the publisher's recording to the byte:
      // header, data records, gap padding and annotations.
      if (got.size() == want.size()) {
        auto publishedEdf = published;
        EXPECT_TRUE(ReadFile(publishedEdf.replace_extension(".edf")) == ReadFile(edf)) << edf;
      }
    }
  }
  EXPECT_GT(gapRows, 0u) << "the flooded run was to have gaps";
}

TEST_F(HostRecord, AWaitForLateBatchesTheToolCannotKeepIsAUsageError) {
  struct Case {
    const char* value;
    int exitCode;
  };
  for (const Case& c : {Case{"-1", 2}, Case{"86401", 2}, Case{"nan", 2}, Case{"30s", 2}, Case{"0.5", 0}}) {
    const auto folder = t.Path() / ("rec-" + std::string(c.value));
    const HostRun run = RunHost({"record", "--broker", broker.Url(), "--out", folder.string(), "--seconds", "0.2",
                                 "--late-seconds", c.value},
                                t.Path(), env());
    EXPECT_EQ(run.exitCode, c.exitCode) << c.value << "\n" << run.err;
    if (c.exitCode == 2) {
      EXPECT_NE(run.err.find("--late-seconds must be a number of seconds from 0 to 86400"), std::string::npos)
          << run.err;
      EXPECT_FALSE(std::filesystem::exists(folder)) << "a folder made for a refused command";
    }
  }
}

// Messages the test publishes itself: a stream with a jump, a gap of unknown
// size and a stop beyond its last batch; hostile messages among them; and a
// second stream whose first batch overtakes its info.
TEST_F(HostRecord, HostileMessagesAreSkippedAndCountedAndGapsAreMarked) {
  auto recorder = StartRecorder({"--csv"});
  mosquitto_lib_init();
  mosquitto* m = mosquitto_new(nullptr, true, nullptr);
  ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", broker.Port(), 10), MOSQ_ERR_SUCCESS);
  ASSERT_EQ(mosquitto_loop_start(m), MOSQ_ERR_SUCCESS);
  const auto send = [&](const std::string& topic, const std::string& payload, bool retain = false) {
    ASSERT_EQ(mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain),
              MOSQ_ERR_SUCCESS);
  };
  const auto info = [](int64_t started) {
    return Json{{"format", 2},
                {"unique_id", "7"},
                {"model", "VZ-8"},
                {"description", "T1"},
                {"period_us", 1000},
                {"channels",
                 {{{"index", 1}, {"name", "ECG"}, {"units", "mV"}, {"min", -5.0}, {"max", 5.0}},
                  {{"index", 2}, {"name", "Count"}, {"units", ""}}}},
                {"started", "2026-12-08T10:00:00.000Z"},
                {"started_us", started}}
        .dump();
  };
  // N samples from `first`: channel 1 is position / 100, channel 2 the position.
  const auto batch = [](uint64_t first, uint32_t n, int64_t stream, size_t cut = 0) {
    std::string b(32, '\0');
    const auto put = [&](size_t at, uint64_t v, size_t bytes) {
      for (size_t k = 0; k < bytes; ++k) b[at + k] = static_cast<char>(v >> (8 * k));
    };
    put(0, 2, 2);
    put(2, 2, 2);
    put(4, n, 4);
    put(8, first, 8);
    put(16, static_cast<uint64_t>(NowUs()), 8);
    put(24, static_cast<uint64_t>(stream), 8);
    for (uint64_t p = first; p < first + n; ++p) {
      for (float v : {static_cast<float>(p) / 100.0f, static_cast<float>(p)}) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        b.append(4, '\0');
        put(b.size() - 4, bits, 4);
      }
    }
    return b.substr(0, b.size() - cut);
  };
  const auto event = [](const char* name, int64_t stream, uint64_t position) {
    return Json{{"event", name}, {"time", "2026-12-08T10:00:01.000Z"}, {"stream", stream}, {"position", position}};
  };
  const int64_t s1 = NowUs() - 1000000, s2 = s1 + 500000;
  send("vozi/7/info", info(s1), true);
  send("vozi/8/info", "{\"format\":2,\"x\":" + std::string(40, '[') + std::string(40, ']') + "}", true);
  send("vozi/7/info", info(s1 + 24 * 3600000000LL));  // a day ahead: it would hide every genuine stream
  send("vozi/7/samples", batch(0, 10, s1));
  send("vozi/7/samples", batch(0, 10, s1));           // sent again after a reconnection
  send("vozi/7/samples", batch(10, 5, s1, 4));        // shorter than its header says
  send("vozi/7/samples", batch(10, 5, s1 - 1));       // an older stream's: late
  send("vozi/7/samples", std::string("\x02\x00", 2));  // no header
  send("vozi/7/events", "not json");
  send("vozi/7/samples", batch(15, 10, s1));          // 10..14 never came
  Json gap = event("gap", s1, 25);
  gap["count"] = nullptr;
  gap["cause"] = "ring-full";
  send("vozi/7/events", gap.dump());
  send("vozi/7/samples", batch(25, 10, s1));
  Json stop = event("stop", s1, 40);  // 35..39 never came
  stop["reason"] = "limit";
  send("vozi/7/events", stop.dump());
  send("vozi/7/samples", batch(0, 20, s2));  // before its info
  send("vozi/7/info", info(s2), true);
  send("vozi/7/events", event("stop", s2, 20).dump());

  WaitForSession([](const Json& s) { return Ended(s) == 2; });
  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, false);
  mosquitto_destroy(m);
  const Json session = Stop(*recorder);
  ASSERT_EQ(session["streams"].size(), 2u);

  const Json& a = session["streams"][0];
  EXPECT_EQ(a["start_utc_us"], s1);
  EXPECT_EQ(a["first_position"], 0);
  EXPECT_EQ(a["samples"], 30);
  EXPECT_EQ(a["gaps"], 3);  // the jump, the unknown one, the end that never came
  EXPECT_EQ(a["gaps_of_unknown_size"], 1);
  EXPECT_EQ(a["missing"], 10);
  const Json& b = session["streams"][1];
  EXPECT_EQ(b["start_utc_us"], s2);
  EXPECT_EQ(b["samples"], 20);
  EXPECT_EQ(b["gaps"], 0);
  EXPECT_NE(a["files"][0], b["files"][0]);
  EXPECT_EQ(session["skipped"]["malformed"], 5);  // two infos, two batches, the event
  EXPECT_EQ(session["skipped"]["late"], 1);
  EXPECT_EQ(session["skipped"]["repeated"], 1);

  const auto rows = RowsByTime(out() / a["files"][0].get<std::string>());
  ASSERT_EQ(rows.size(), 30u);
  const std::map<std::string, std::string> gaps{{"0.015000", "5"}, {"0.025000", "-1"}};
  for (const auto& [time, row] : rows) {
    const auto g = gaps.find(time);
    EXPECT_EQ(row[2], g == gaps.end() ? "0" : g->second) << time;
    EXPECT_NEAR(std::stod(row[0]), std::stod(row[1]) / 100, 1e-6) << time;
  }
  EXPECT_NE(ReadFile(out() / a["files"][0].get<std::string>()).find("# end: 5 samples at the end"), std::string::npos);
}

// The broker goes away mid-stream and comes back: the recorder reconnects,
// marks the stretch it missed as a gap, and the rows on both sides are the
// publisher's.
TEST_F(HostRecord, ALostBrokerCostsAMarkedGapAndTheRecordingGoesOn) {
  auto recorder = StartRecorder({"--csv"});
  const auto csv = t.Path() / "run.csv";
  HostProcess publisher({"--simulate", "publish", "--broker", broker.Url(), "--csv", csv.string()}, env(), t.Path());
  const auto samples = [](const Json& s) { return s["streams"].empty() ? 0 : s["streams"][0]["samples"].get<int>(); };
  WaitForSession([&](const Json& s) { return samples(s) > 300; });
  broker.Stop();
  ASSERT_TRUE(Says(*recorder, "lost the broker")) << recorder->Err();
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(Says(*recorder, "the broker is back")) << recorder->Err();
  WaitForSession([&](const Json& s) { return s["streams"][0]["gaps"].get<int>() > 0 && samples(s) > 1000; });
  kill(publisher.Pid(), SIGINT);
  ASSERT_TRUE(publisher.Wait(30s).has_value()) << publisher.Err();
  WaitForSession([](const Json& s) { return Ended(s) == 1; });
  const Json session = Stop(*recorder);

  const Json& stream = session["streams"][0];
  EXPECT_GT(stream["missing"].get<int>(), 0);
  const auto want = RowsByTime(csv);
  const auto got = RowsByTime(out() / stream["files"][0].get<std::string>());
  size_t marked = 0;
  for (const auto& [time, row] : got) {
    const auto w = want.find(time);
    ASSERT_NE(w, want.end()) << time;
    // The counter channel is the instrument's own count: nothing shifted.
    EXPECT_EQ(row[row.size() - 2], w->second[w->second.size() - 2]) << time;
    marked += row.back() != "0";
    EXPECT_EQ(w->second.back(), "0") << "the publisher's own file lost nothing";
  }
  EXPECT_GE(marked, 1u);
  EXPECT_GT(got.rbegin()->first, got.begin()->first);
}

}  // namespace
}  // namespace hosttest
