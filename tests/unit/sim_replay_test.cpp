// The replay's reading of a trace: what it takes from a well-formed one, and
// a clear error naming the line for anything that is not one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vozi_sim/recording.h"
#include "vozi_sim/trace_file.h"

namespace {

const std::string kHead = "# vozi trace of process 7: <seconds since this line> [<thread>] <port> <event>\n";

TEST(TraceFile, DamagedTruncatedOrForeignTextIsRefusedNamingTheLine) {
  const struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"empty", "", "line 1: the file is empty"},
      {"not a trace", "time,value\n0,1\n", "line 1: not a vozi trace"},
      {"cut mid-line", kHead + "0.000100 [7] /dev/ttyUSB0 sent \":S\\n\"\n0.0002", "line 3: cut short"},
      {"no stamp", kHead + "sent \":S\\n\"\n", "line 2: no time stamp"},
      {"short fraction", kHead + "0.00010 [7] p sent \":S\\n\"\n", "line 2: the stamp's fraction"},
      {"unknown event", kHead + "0.000100 [7] p said \"S\"\n", "line 2: unknown event"},
      {"open quote", kHead + "0.000100 [7] p recv \"S\\r\\n\n", "line 2: the bytes have no closing"},
      {"bad escape", kHead + "0.000100 [7] p recv \"S\\q\"\n", "line 2: an unknown escape \\q"},
      {"bad hex", kHead + "0.000100 [7] p recv \"\\xg1\"\n", "line 2: \\x without two hex digits"},
      {"raw control byte", kHead + "0.000100 [7] p recv \"S\x01\"\n", "line 2: a raw byte"},
      {"cut length too small", kHead + "0.000100 [7] p recv \"SS\"... (2 bytes)\n", "line 2: a cut line"},
      {"time goes back", kHead + "0.000200 [7] p step a\n0.000100 [7] p step b\n", "line 3: the time stamp goes back"},
      {"event after truncation", kHead + "# trace truncated: limit\n0.000100 [7] p step a\n", "line 3: an event after"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vozisim::TraceFile trace;
    const auto error = vozisim::ParseTrace(c.text, trace);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind(c.error, 0), 0u) << *error;
  }
}

TEST(TraceFile, OneDevicesConversationBecomesFramesWithTheirAnswersAndHangUp) {
  // Two sessions appended (the second's stamps begin again), two ports, one
  // frame write holding two frames, a line cut by the trace, and a hang-up.
  const std::string text = kHead +
                           "0.000100 [7] /r/dev/ttyUSB0 step port opened\n"
                           "0.000200 [8] /r/dev/ttyUSB0 sent \":S\\n\"\n"
                           "0.000300 [9] /r/dev/ttyUSB1 sent \":S\\n\"\n"
                           "0.000500 [8] /r/dev/ttyUSB0 recv \"S\\r\\n\"\n" +
                           kHead +
                           "0.000100 [8] /r/dev/ttyUSB0 sent \":V\\n:B\\n\"\n"
                           "0.001100 [8] /r/dev/ttyUSB0 recv \"\\x00\\xffjunk\\\"\"... (300 bytes)\n"
                           "0.002100 [8] /r/dev/ttyUSB0 step reader parked: the port failed\n";
  vozisim::TraceFile trace;
  const auto error = vozisim::ParseTrace(text, trace);
  ASSERT_FALSE(error) << *error;
  EXPECT_EQ(trace.ports, (std::vector<std::string>{"/r/dev/ttyUSB0", "/r/dev/ttyUSB1"}));

  vozisim::ReplayScript script;
  ASSERT_FALSE(vozisim::BuildReplayScript(trace, "ttyUSB0", script));
  EXPECT_EQ(script.device, 0u);
  ASSERT_EQ(script.steps.size(), 3u);
  EXPECT_EQ(script.steps[0].frame, ":S\n");
  ASSERT_EQ(script.steps[0].outputs.size(), 1u);
  EXPECT_EQ(script.steps[0].outputs[0].bytes, "S\r\n");
  EXPECT_EQ(script.steps[0].outputs[0].afterMicros, 300u);
  EXPECT_EQ(script.steps[1].frame, ":V\n");
  EXPECT_TRUE(script.steps[1].outputs.empty());
  EXPECT_EQ(script.steps[2].frame, ":B\n");
  ASSERT_EQ(script.steps[2].outputs.size(), 2u);
  const vozisim::ReplayOutput& cut = script.steps[2].outputs[0];
  EXPECT_EQ(cut.afterMicros, 1000u);
  ASSERT_EQ(cut.bytes.size(), 300u);
  EXPECT_EQ(cut.bytes.substr(0, 7), std::string("\0\xffjunk\"", 7));
  EXPECT_EQ(cut.bytes.back(), '\n');
  EXPECT_EQ(cut.bytes.find('\n'), 299u) << "one line, as long as the field's";
  EXPECT_TRUE(script.steps[2].outputs[1].hangUp);
  EXPECT_EQ(script.steps[2].outputs[1].afterMicros, 2000u);

  for (const char* device : {"1", "/r/dev/ttyUSB1"}) {
    ASSERT_FALSE(vozisim::BuildReplayScript(trace, device, script));
    EXPECT_EQ(script.port, "/r/dev/ttyUSB1");
  }
  const auto missing = vozisim::BuildReplayScript(trace, "2", script);
  ASSERT_TRUE(missing.has_value());
  EXPECT_NE(missing->find("1 = /r/dev/ttyUSB1"), std::string::npos) << *missing;
}

const std::string kCsvHead = "# vozi-host: 1.1.2\n# period: 1000 us, 1 ms (selected: ...)\ntime_s,ECG (mV),gap\n";

TEST(Recording, ADamagedOrForeignRecordingIsRefusedNamingTheLine) {
  const struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"empty", "", "line 1: no \"time_s,...,gap\" header"},
      {"a trace", "# vozi trace of process 7\n0.000100 [7] p step a\n", "line 2: not a vozi-host CSV"},
      {"no period", "# vozi-host: 1.1.2\ntime_s,ECG (mV),gap\n", "line 2: no \"# period"},
      {"sample column", "# period: 1000 us\nsample,ECG (mV),gap\n", "line 2: the recording has no sample period"},
      {"no gap column", "# period: 1000 us\ntime_s,ECG (mV)\n", "line 2: the header does not end"},
      {"short row", kCsvHead + "0.000000,1,0\n0.001000,0\n", "line 5: 2 fields where the header has 3"},
      {"bad value", kCsvHead + "0.000000,1e,0\n", "line 4: column 2: \"1e\" is not a number"},
      {"infinite value", kCsvHead + "0.000000,inf,0\n", "line 4: column 2"},
      {"time backwards", kCsvHead + "0.002000,1,0\n0.001000,1,0\n", "line 5: the time does not go forward"},
      {"bad gap", kCsvHead + "0.000000,1,x\n", "line 4: the gap"},
      {"open quote", kCsvHead + "\"0.000000,1,0\n", "line 4: a quoted field"},
      {"no rows", kCsvHead + "# end: broke off\n", "line 5: the recording holds no sample"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    vozisim::Recording recording;
    const auto error = vozisim::ReadCsvRecording(c.text, recording);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind(c.error, 0), 0u) << *error;
  }
}

TEST(Recording, RowsBecomeLinesAtTheirPositionsAndGapsStayEmpty) {
  vozisim::Recording r;
  const auto error = vozisim::ReadCsvRecording(
      "# instrument: Vozi VZ-9 12105A, device 0, unique id 42\n# firmware: 2.0.1.7\n"
      "# period: 2000 us, 2 ms\ntime_s,\"A, b (x)\",Pulse (bpm),gap\n"
      "0.010000,1.5,60,0\n0.012000,-2,60,0\n0.018000,0.25,60,2\n",
      r);
  ASSERT_FALSE(error) << *error;
  EXPECT_EQ(r.model, "VZ-9");
  EXPECT_EQ(r.version, "2.0.1");
  EXPECT_EQ(r.firmware, "7");
  EXPECT_EQ(r.names, (std::vector<std::string>{"A  b", "Pulse"}));
  EXPECT_EQ(r.units, (std::vector<std::string>{"x", "bpm"}));
  EXPECT_EQ(r.minima, (std::vector<float>{-2.0f, 60.0f}));
  EXPECT_EQ(r.maxima, (std::vector<float>{1.5f, 61.0f}));
  const std::vector<std::optional<std::string>> lines = {"0.000000,1.5,60", "0.002000,-2,60", std::nullopt,
                                                         std::nullopt, "0.008000,0.25,60", std::nullopt};
  for (size_t n = 0; n < lines.size(); ++n) EXPECT_EQ(r.Line(n), lines[n]) << n;
  EXPECT_FALSE(r.Ended(4));
  EXPECT_TRUE(r.Ended(5));
  r.loop = true;
  EXPECT_EQ(r.Line(6), "0.012000,-2,60");
  EXPECT_FALSE(r.Ended(1000));
}

}  // namespace
