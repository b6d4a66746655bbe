// A host's whole road through Vozi.kycdll under Wine, against vozi-sim on a
// pseudo-terminal that the prefix maps to a COM port: discovery through the
// SETUPAPI.DLL double, start-up with the firmware requirement file beside
// the host, device commands, streaming, and CloseAll's stop frame.
// run-e2e-tests runs this suite (WineEndToEnd) with both doubles installed.
#include <string>
#include <vector>

#include "e2e/e2e_host.h"
#include "e2e/wine_machine.h"
#include "support/serial_peer.h"

namespace {

using e2e::Environment;
using e2e::PortInterface;

constexpr char kWrongFirmware[] =
    "A Vozi Device is connected, but can't be used due\nto wrong firmware version. Please contact Vozi\n"
    "Scientific Corporation for a firmware update.";

class WineEndToEnd : public e2e::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    port_ = Environment(L"VOZI_E2E_PORT");
    log_ = Environment(L"VOZI_E2E_SIM_LOG");
    ASSERT_FALSE(port_.empty()) << "run by run-e2e-tests, which starts the simulators";
    e2e::WriteRequirementFile("[required]\r\nkyrev=1\r\n");
  }
  void TearDown() override {
    HostTest::TearDown();
    e2e::RemoveRequirementFile();
  }

  // A built-in port first, as on most machines, then the instrument.
  void PresentInstrumentAt(const std::wstring& devicePath) {
    e2e::PresentInterfaces({{L"ACPI\\PNP0501\\1", L"\\\\.\\COM1"}, {e2e::kVoziInstanceId, devicePath}});
  }

  // Finds the one instrument and starts it; the index, or -1.
  int32_t FindAndStart() {
    PresentInstrumentAt(port_);
    const int32_t index = Find();
    if (index != 0 || fn().Initialise(index) != 1) return -1;
    return index;
  }

  // Reads `count` lines of the stream as the host does.
  std::vector<std::string> ReadLines(int32_t index, int count) {
    std::vector<std::string> lines;
    for (int n = 0; n < count; ++n) {
      char line[256];
      if (fn().ReadLine(index, line, sizeof line, 2000) != 1) break;
      lines.emplace_back(line);
    }
    return lines;
  }

  std::wstring port_;
  std::wstring log_;
};

TEST_F(WineEndToEnd, DiscoveryFindsTheInstrumentAndStartUpTakesAboutASecond) {
  PresentInstrumentAt(port_);
  const size_t framesBefore = e2e::FramesLogged(log_).size();
  const int32_t index = Find();
  ASSERT_EQ(index, 0);
  EXPECT_EQ(Find(), -1) << "one instrument: the pass ends";
  int32_t uniqueId = 0;
  ASSERT_EQ(fn().GetUniqueID(index, &uniqueId), 1);
  EXPECT_EQ(uniqueId, 130);
  EXPECT_EQ(e2e::FramesLogged(log_).size(), framesBefore) << "finding sends nothing";

  const uint64_t start = wintest::NowMs();
  ASSERT_EQ(fn().Initialise(index), 1);
  const uint64_t took = wintest::NowMs() - start;
  // The handshake is looked at only after whole one-second sleeps.
  EXPECT_GE(took, 950u);
  EXPECT_LT(took, 3000u) << "one sleep or two, not the silent port's sixteen";
  EXPECT_EQ(fn().IsFailed(index), 0);
  EXPECT_EQ(fn().GetBaudRate(index), 115200);
  EXPECT_EQ(Text(index, VOZI_GET_PORT_DESCRIPTION), "12345A");

  const std::vector<std::string> frames = e2e::FramesLogged(log_);
  ASSERT_GE(frames.size(), framesBefore + 2);
  EXPECT_EQ(frames[framesBefore], "S") << "the greeting first";
  EXPECT_EQ(frames[framesBefore + 1], "V");
  char message[8] = "keep";
  EXPECT_EQ(fn().GetLastErrorMsg(index, message), 1) << "a running device has no text of its own";
  EXPECT_STREQ(message, "keep");
}

TEST_F(WineEndToEnd, CommandsAnswerFromTheInstrumentsDescription) {
  const int32_t index = FindAndStart();
  ASSERT_EQ(index, 0);
  EXPECT_EQ(Text(index, VOZI_GET_MODEL_NAME), "VZ-8");
  EXPECT_EQ(Text(index, VOZI_GET_VERSION_TEXT), "1.1.0.1");
  EXPECT_EQ(Text(index, VOZI_GET_CHANNEL_RANGE, 2), "0,250,bpm;");
  EXPECT_EQ(Text(index, VOZI_GET_SAMPLE_PERIODS), "1000000,100000,10000,5000,2000,1000");

  // The control list from the library's own resources, one line feed added:
  // 348 bytes and the zero, nothing beyond.
  std::string reply(400, '\x7F');
  CommandRecord record{};
  record.reply = reply.data();
  record.replySize = static_cast<int32_t>(reply.size());
  record.argument = 1;
  ASSERT_EQ(fn().DeviceCommand(index, VOZI_GET_INPUT_AMP_CONTROLS, &record), 1);
  const std::string expected = wintest::ReadSourceFile(VOZI_INPUT_AMP_CONTROLS_FILE) + "\n";
  ASSERT_EQ(expected.size(), 348u);
  EXPECT_EQ(reply.substr(0, 348), expected);
  EXPECT_EQ(reply[348], '\0');
  EXPECT_EQ(reply[349], '\x7F');
}

// The counter channel spans 0..32767, so its scaled value is the sample
// number: any line lost or doubled on the way through Wine's serial driver,
// the reader thread and the ring shows. Both streams' lines go to files that
// the runner compares with the same run of libvozi.so on Linux.
TEST_F(WineEndToEnd, StreamsEveryLineThenCloseAllSendsTheStopFrame) {
  const int32_t index = FindAndStart();
  ASSERT_EQ(index, 0);
  ASSERT_TRUE(Command(index, VOZI_ENABLE_CHANNEL, 5));
  ASSERT_TRUE(Command(index, VOZI_START_STREAM));
  const std::vector<std::string> counter = ReadLines(index, 200);
  ASSERT_TRUE(Command(index, VOZI_STOP_STREAM));
  ASSERT_EQ(counter.size(), 200u);
  for (size_t n = 0; n < counter.size(); ++n) {
    ASSERT_EQ(counter[n], "@ " + std::to_string(n)) << "line " << n;
  }

  // All the data channels: each field scaled from the simulator's text.
  for (int32_t channel = 1; channel <= 4; ++channel) ASSERT_TRUE(Command(index, VOZI_ENABLE_CHANNEL, channel));
  ASSERT_TRUE(Command(index, VOZI_START_STREAM));
  const std::vector<std::string> all = ReadLines(index, 200);
  ASSERT_TRUE(Command(index, VOZI_STOP_STREAM));
  ASSERT_EQ(all.size(), 200u);
  for (size_t n = 0; n < all.size(); ++n) {
    const std::string& line = all[n];
    ASSERT_EQ(line.rfind("@ ", 0), 0u) << line;
    ASSERT_EQ(line.substr(line.rfind(',') + 1), std::to_string(n)) << "counter last, line " << n;
  }
  EXPECT_TRUE(e2e::WriteOutputLines(L"stream-counter.txt", counter));
  EXPECT_TRUE(e2e::WriteOutputLines(L"stream-all.txt", all));

  const size_t frames = e2e::FramesLogged(log_).size();
  EXPECT_EQ(fn().CloseAll(), 1);
  const std::vector<std::string> after = e2e::WaitForLastFrame(log_, frames, "X", 2000);
  ASSERT_GT(after.size(), frames);
  EXPECT_EQ(after.back(), "X") << "closing tells the instrument to stop";
  EXPECT_EQ(fn().IsFailed(index), 1) << "the table is empty";
}

TEST_F(WineEndToEnd, TheRequirementFileBesideTheHostDecidesTheFirmware) {
  const std::wstring port = Environment(L"VOZI_E2E_PORT_FW2");
  const std::wstring log = Environment(L"VOZI_E2E_SIM_LOG_FW2");
  ASSERT_FALSE(port.empty());
  PresentInstrumentAt(port);
  const int32_t index = Find();
  ASSERT_EQ(index, 0);
  const uint64_t start = wintest::NowMs();
  EXPECT_EQ(fn().Initialise(index), 0) << "firmware 2 where 1 is required";
  EXPECT_GE(wintest::NowMs() - start, 950u) << "refused only after the version line came";
  EXPECT_EQ(fn().IsFailed(index), 1);
  int32_t length = 0;
  EXPECT_EQ(Message(-1, &length), kWrongFirmware);
  EXPECT_EQ(length, 143);

  // The file is read at every start-up: requiring 2 accepts the instrument.
  // The failed device is closed (stop frame) before it is greeted again.
  e2e::WriteRequirementFile("[Required]\r\nKyRev=2\r\n");
  const size_t frames = e2e::FramesLogged(log).size();
  EXPECT_EQ(fn().Initialise(index), 1);
  const std::vector<std::string> after = e2e::FramesLogged(log);
  ASSERT_GE(after.size(), frames + 2);
  EXPECT_EQ(after[frames], "X");
  EXPECT_EQ(after[frames + 1], "S");
  EXPECT_EQ(Message(-1), kWrongFirmware) << "the flags stay set until CloseAll";
}

TEST_F(WineEndToEnd, NoVoziAdapterMeansNotFound) {
  e2e::PresentInterfaces({{L"ACPI\\PNP0501\\1", L"\\\\.\\COM1"},
                          {L"FTDIBUS\\VID_0403+PID_6001+FT9XYZ12A\\0000", port_}});
  e2e::TakeSetupApiLog();
  int32_t index = 77;
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(index, 77) << "nothing written";
  const std::wstring walk = e2e::TakeSetupApiLog();
  EXPECT_NE(walk.find(L"GetClassDevs"), std::wstring::npos) << "both interfaces were walked\n" << walk;
  EXPECT_NE(walk.find(L"index=2"), std::wstring::npos) << walk;
  int32_t length = 0;
  EXPECT_EQ(Message(-1, &length),
            "The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora.");
  EXPECT_EQ(length, 85);
}

}  // namespace
