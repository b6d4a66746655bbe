// "vozi-host mark" into "vozi-host record" through the real mosquitto on the
// loopback: markers sent while an instrument streams land in markers.csv,
// session.json and the stream's EDF+ file at their time on its axis; a
// marker that breaks the bounds is refused by mark, or skipped and counted
// by the recorder when something else sends it.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "recorder_fixture.h"

namespace hosttest {
namespace {

using namespace std::chrono_literals;

// The onset in seconds of the EDF+ annotation whose text is `text`, read
// from its time-stamped annotation list ("+onset[\x15duration]\x14text\x14"),
// or NAN when the file holds none.
double AnnotationOnset(const std::string& file, const std::string& text) {
  const size_t at = file.find("\x14" + text + "\x14");
  if (at == std::string::npos) return NAN;
  const size_t begin = file.rfind('\0', at) + 1;
  const std::string tal = file.substr(begin, at - begin);
  return std::stod(tal.substr(0, tal.find_first_of("\x14\x15")));
}

using HostMark = RecorderTest;

TEST_F(HostMark, MarkersLandInEveryOutputAtTheirTimeAndBadOnesAreRefusedOrSkipped) {
  auto recorderProcess = StartRecorder({"--csv"});
  HostProcess& recorder = *recorderProcess;
  HostProcess publisher({"--simulate", "publish", "--broker", broker.Url()}, env(), t.Path());
  const auto written = [](const Json& s) { return !s["streams"].empty() && s["streams"][0]["samples"] > 100; };
  WaitForSession(written);

  const auto mark = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"mark", "--broker", broker.Url()});
    return RunHost(args, t.Path(), env());
  };
  const HostRun first = mark({"--sender", "stimulus PC", "--duration", "0.25", "stimulus 12, \"red\" shown"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  // The second once the recorder has the first: a moment apart, whatever the machine's speed.
  WaitForSession([](const Json& s) { return s["markers"].size() == 1; });
  // As senders before clocks were measured send: no clock named.
  const HostRun second = mark({"--no-clock", "task start"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  const HostRun control = mark({"line one\nline two"});
  EXPECT_EQ(control.exitCode, 2) << control.err;
  EXPECT_NE(control.err.find("control character"), std::string::npos) << control.err;

  // What another sender might publish: each is skipped and counted.
  const std::vector<std::string> hostile{
      "not json",
      R"({"format": 2, "text": "x", "time_utc_us": 1, "sender": "s"})",
      R"({"format": 1, "text": "a\u0007b", "time_utc_us": 1, "sender": "s"})",
      R"({"format": 1, "text": ")" + std::string(1025, 'x') + R"(", "time_utc_us": 1, "sender": "s"})",
      R"({"format": 1, "text": "x", "time_utc_us": 1, "sender": ""})",
      R"({"format": 1, "text": "x", "time_utc_us": -5, "sender": "s"})",
      R"({"format": 1, "text": "x", "time_utc_us": 1.5, "sender": "s"})",
      R"({"format": 1, "text": "x", "time_utc_us": 1, "duration_us": -1, "sender": "s"})",
  };
  mosquitto_lib_init();
  mosquitto* m = mosquitto_new(nullptr, true, nullptr);
  ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", broker.Port(), 10), MOSQ_ERR_SUCCESS);
  ASSERT_EQ(mosquitto_loop_start(m), MOSQ_ERR_SUCCESS);
  for (const std::string& payload : hostile) {
    ASSERT_EQ(mosquitto_publish(m, nullptr, "vozi/markers", static_cast<int>(payload.size()), payload.data(), 1, false),
              MOSQ_ERR_SUCCESS);
  }
  WaitForSession([&](const Json& s) { return s["markers"].size() == 2 && s["skipped"]["markers"] == hostile.size(); });
  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, false);
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();

  kill(publisher.Pid(), SIGINT);
  ASSERT_TRUE(publisher.Wait(30s).has_value()) << publisher.Err();
  WaitForSession([](const Json& s) { return s["streams"].size() == 1 && !s["streams"][0]["end"].is_null(); });
  kill(recorder.Pid(), SIGINT);
  ASSERT_EQ(recorder.Wait(20s), 0) << recorder.Err();
  const Json session = Json::parse(ReadFile(out() / "session.json"));

  const Json& markers = session["markers"];
  ASSERT_EQ(markers.size(), 2u) << session;
  EXPECT_EQ(markers[0]["text"], "stimulus 12, \"red\" shown");
  EXPECT_EQ(markers[0]["sender"], "stimulus PC");
  EXPECT_EQ(markers[0]["duration_us"], 250000);
  EXPECT_EQ(markers[1]["text"], "task start");
  EXPECT_TRUE(markers[1]["duration_us"].is_null());
  EXPECT_FALSE(markers[1]["sender"].get<std::string>().empty());
  EXPECT_GT(markers[1]["time_utc_us"], markers[0]["time_utc_us"]);

  const std::vector<std::string> rows = Lines(ReadFile(out() / "markers.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], "time_utc_us,sender,text,duration_us,sender_time_utc_us,clock,clock_offset_us");
  // The recorder's clock first, then the sender's time and clock, and the
  // offset it measured (mark answers the recorder's clock exchanges).
  const auto tail = [](const Json& m) {
    return "," + std::to_string(m["sender_time_utc_us"].get<int64_t>()) + "," + m["clock"].get<std::string>() + "," +
           std::to_string(std::llround(m["clock_offset_us"].get<double>()));
  };
  EXPECT_EQ(rows[1], std::to_string(markers[0]["time_utc_us"].get<int64_t>()) +
                         ",stimulus PC,\"stimulus 12, \"\"red\"\" shown\",250000" + tail(markers[0]));
  EXPECT_EQ(rows[2], std::to_string(markers[1]["time_utc_us"].get<int64_t>()) + "," +
                         markers[1]["sender"].get<std::string>() + ",task start,," +
                         std::to_string(markers[1]["time_utc_us"].get<int64_t>()) + ",,");
  EXPECT_TRUE(markers[0]["clock_measured"].get<bool>()) << markers[0];
  EXPECT_LT(std::abs(markers[0]["clock_offset_us"].get<double>()), 20000) << markers[0];
  // A marker naming no clock keeps its time as sent, its offset unknown.
  EXPECT_TRUE(markers[1]["clock"].is_null()) << markers[1];
  EXPECT_TRUE(markers[1]["clock_offset_us"].is_null()) << markers[1];
  EXPECT_EQ(markers[1]["time_utc_us"], markers[1]["sender_time_utc_us"]);

  const Json& stream = session["streams"][0];
  EXPECT_EQ(stream["markers_annotated"], 2);
  const std::string edf = ReadFile(out() / stream["files"][1].get<std::string>());
  // The file's axis begins at its first sample, where its "stream start"
  // annotation is (onsets in the file count from the header's whole second).
  const double zero = AnnotationOnset(edf, "stream start");
  const double fileStartUs = stream["start_utc_us"].get<double>() +
                             stream["first_position"].get<double>() * stream["period_us"].get<double>();
  for (const Json& marker : markers) {
    const std::string text = marker["text"];
    const double onset = AnnotationOnset(edf, text) - zero;
    EXPECT_NEAR(onset, (marker["time_utc_us"].get<double>() - fileStartUs) / 1e6, 0.002) << text;
  }
}

// A two-second stream has room for eight annotations (two data records of
// four annotation signals), two of them its start and stop: of ten markers
// within it, six are annotated and the rest are counted, not lost unsaid.
TEST_F(HostMark, MarkersBeyondTheEdfFilesRoomAreCountedAndTheStreamsOwnAnnotationsKept) {
  auto recorder = StartRecorder({"--csv"});
  mosquitto_lib_init();
  mosquitto* m = mosquitto_new(nullptr, true, nullptr);
  ASSERT_EQ(mosquitto_connect(m, "127.0.0.1", broker.Port(), 10), MOSQ_ERR_SUCCESS);
  ASSERT_EQ(mosquitto_loop_start(m), MOSQ_ERR_SUCCESS);
  const auto send = [&](const std::string& topic, const std::string& payload) {
    ASSERT_EQ(mosquitto_publish(m, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false),
              MOSQ_ERR_SUCCESS);
  };
  const int64_t started = NowUs() - 3000000;
  send("vozi/9/info", Json{{"format", 2},
                           {"model", "VZ-8"},
                           {"description", "T1"},
                           {"period_us", 1000},
                           {"channels", {{{"index", 1}, {"name", "ECG"}, {"units", "mV"}, {"min", -5.0}, {"max", 5.0}}}},
                           {"started", "2026-12-08T10:00:00.000Z"},
                           {"started_us", started}}
                          .dump());
  std::string batch(32 + 4 * 2000, '\0');
  const uint64_t header[4] = {2 | (1u << 16) | (2000ull << 32), 0, static_cast<uint64_t>(started),
                              static_cast<uint64_t>(started)};
  std::memcpy(batch.data(), header, sizeof header);  // little-endian, as the tests' machines are
  send("vozi/9/samples", batch);
  for (int k = 0; k < 10; ++k) {
    send("vozi/markers",
         Json{{"format", 1}, {"text", "m" + std::to_string(k)}, {"time_utc_us", started + 50000 + k * 100000},
              {"sender", "t"}}
             .dump());
  }
  WaitForSession([](const Json& s) { return s["markers"].size() == 10 && !s["streams"].empty(); });
  send("vozi/9/events", Json{{"event", "stop"}, {"stream", started}, {"position", 2000}, {"reason", "limit"}}.dump());
  const Json session =
      WaitForSession([](const Json& s) { return s["streams"].size() == 1 && !s["streams"][0]["end"].is_null(); });
  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, false);
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();

  const Json& stream = session["streams"][0];
  EXPECT_EQ(stream["samples"], 2000);
  EXPECT_EQ(stream["markers_annotated"], 6);
  EXPECT_EQ(stream["markers_left_out"], 4);
  const std::string edf = ReadFile(out() / stream["files"][1].get<std::string>());
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(std::isnan(AnnotationOnset(edf, "m" + std::to_string(k))), k >= 6) << k;
  }
  EXPECT_FALSE(std::isnan(AnnotationOnset(edf, "stream stop")));
  EXPECT_NE(recorder->Err().find("4 markers found no room"), std::string::npos) << recorder->Err();
}

}  // namespace
}  // namespace hosttest
