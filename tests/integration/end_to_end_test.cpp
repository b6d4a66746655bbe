// A host's whole road through libvozi.so against simulated instruments:
// FindDevice, Initialise, commands, streaming, messages, CloseAll.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "simulated_instruments.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kWrongFirmware[] =
    "A Vozi Device is connected, but can't be used due\nto wrong firmware version. Please contact Vozi\n"
    "Scientific Corporation for a firmware update.";
constexpr char kNotRespondingRestart[] =
    "The Vozi Device is not responding. Please restart the Device and restart Kymora.";
constexpr char kNotResponding[] = "The Vozi Device is not responding or powered off.";

class EndToEnd : public SimulatedInstrumentsTest {
 protected:
  std::string Text(int32_t index, VoziCommand code, int32_t argument = 0) {
    char reply[512] = "";
    CommandRecord record{};
    record.reply = reply;
    record.replySize = sizeof reply;
    record.argument = argument;
    EXPECT_EQ(lib.DeviceCommand(index, code, &record), 1) << code;
    return reply;
  }
  bool Command(int32_t index, VoziCommand code, int32_t argument = 0) {
    CommandRecord record{};
    record.argument = argument;
    return lib.DeviceCommand(index, code, &record) == 1;
  }

  // A failed device started again is closed first (X), then greeted (S).
  void ExpectRestartedFromScratch(int32_t index, vozisim::Instrument& sim) {
    const size_t frames = sim.Frames().Count();
    EXPECT_EQ(lib.Initialise(index), 0);
    const auto texts = sim.Frames().Texts();
    ASSERT_GT(texts.size(), frames + 1);
    EXPECT_EQ(texts[frames], "X") << "the failed device is closed first";
    EXPECT_EQ(texts[frames + 1], "S") << "then greeted again";
  }
};

TEST_F(EndToEnd, FindStartDescribeStreamAndClose) {
  auto& sim = AddInstrument("ZOR12345");
  const int32_t index = Find();
  ASSERT_EQ(index, 0);
  EXPECT_EQ(Find(), -1);
  ASSERT_EQ(lib.Initialise(index), 1);
  EXPECT_EQ(lib.IsFailed(index), 0);
  EXPECT_EQ(lib.GetBaudRate(index), 115200);
  EXPECT_EQ(Text(index, VOZI_GET_PORT_DESCRIPTION), "12345A");
  EXPECT_EQ(Text(index, VOZI_GET_MODEL_NAME), "VZ-8");
  EXPECT_EQ(Text(index, VOZI_GET_CHANNEL_RANGE, 2), "0,250,bpm;");

  ASSERT_TRUE(Command(index, VOZI_ENABLE_CHANNEL, 5));  // counter 0..32767: scaled value = sample number
  ASSERT_TRUE(Command(index, VOZI_START_STREAM));
  for (int n = 0; n < 50; ++n) {
    char line[64];
    ASSERT_EQ(lib.ReadLine(index, line, sizeof line, 2000), 1);
    EXPECT_EQ(std::string(line), "@ " + std::to_string(n));
  }
  ASSERT_TRUE(Command(index, VOZI_STOP_STREAM));
  EXPECT_FALSE(sim.Streaming());

  // A found, running device: its own message is empty, the buffer untouched.
  char buffer[8] = "keep";
  EXPECT_EQ(lib.GetLastErrorMsg(index, buffer), 1);
  EXPECT_STREQ(buffer, "keep");

  const size_t frames = sim.Frames().Count();
  EXPECT_EQ(lib.CloseAll(), 1);
  ASSERT_TRUE(sim.Frames().WaitFor("X", 1s, frames).has_value()) << "closing sends the stop frame";
  EXPECT_EQ(lib.IsFailed(index), 1);
}

TEST_F(EndToEnd, InitialiseOnARunningDeviceStartsNothingAgain) {
  auto& sim = AddInstrument("ZOR12345");
  const int32_t index = Find();
  ASSERT_EQ(lib.Initialise(index), 1);
  ASSERT_TRUE(sim.Frames().WaitFor("I", 2s).has_value());
  const size_t frames = sim.Frames().Count();
  const auto start = Clock::now();
  EXPECT_EQ(lib.Initialise(index), 1);
  EXPECT_LT(Clock::now() - start, 200ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sim.Frames().Count(), frames) << "no second greeting";
}

TEST_F(EndToEnd, WrongFirmwareIsReportedAndARestartClosesAndStartsAgain) {
  vozisim::SimConfig cfg;
  cfg.firmware = "2";
  auto& sim = AddInstrument("ZOR12345", cfg);
  const int32_t index = Find();
  EXPECT_EQ(lib.Initialise(index), 0);
  EXPECT_EQ(lib.IsFailed(index), 1);
  int32_t length = 0;
  EXPECT_EQ(lib.LastErrorMessage(-1, &length), kWrongFirmware);
  EXPECT_EQ(length, 143);

  ExpectRestartedFromScratch(index, sim);
  EXPECT_EQ(lib.GetLastErrorMsg(-1, nullptr), 143) << "flags stay set";
}

TEST_F(EndToEnd, MessagesFollowTheLastDeviceOnly) {
  vozisim::SimConfig wrong;
  wrong.firmware = "2";
  AddInstrument("ZOR11111", wrong);
  AddInstrument("ZOR22222");
  ASSERT_EQ(Find(), 0);
  ASSERT_EQ(Find(), 1);
  EXPECT_EQ(lib.Initialise(0), 0);
  EXPECT_EQ(lib.Initialise(1), 1);
  // The first has wrong firmware, the last no flag at all.
  for (int repeat = 0; repeat < 3; ++repeat) EXPECT_EQ(lib.LastErrorMessage(-1), kNotResponding);
}

TEST_F(EndToEnd, AnInstrumentWhoseChannelsDoNotMatchFailsAndIsStartedAgain) {
  vozisim::SimConfig cfg;
  cfg.namesDelta = 1;
  auto& sim = AddInstrument("ZOR12345", cfg);
  const int32_t index = Find();
  EXPECT_EQ(lib.Initialise(index), 0) << "its reader has ended: it would answer no command";
  EXPECT_EQ(lib.IsFailed(index), 1);
  EXPECT_EQ(lib.LastErrorMessage(-1), kNotRespondingRestart);

  ExpectRestartedFromScratch(index, sim);
}

// The descriptor table full while FindDevice makes the device: a device
// without its events could neither wait nor be told to stop (its reader
// would spin and CloseAll never return). Each pass leaves a few more
// descriptors free; a device that is found must work, and every pass must
// end. Runs in a child process, as it limits the process's descriptors.
TEST_F(EndToEnd, DescriptorsRunningOutWhileTheDeviceIsMadeNeverHang) {
#if defined(__SANITIZE_ADDRESS__)
  // The ASan build carries UBSan, whose dynamic type check probes memory
  // through a pipe: with the table full it takes every type it has not met
  // yet for a mismatch, and no suppression can help (they need descriptors
  // too). The native and TSan builds run this test.
  GTEST_SKIP() << "UBSan's type check needs free descriptors";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        alarm(40);  // a hang ends the child by SIGALRM
        AddInstrument("ZOR12345");
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int spare = 0; spare <= 4; ++spare) {
          std::vector<int> filler;
          for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
          for (int i = 0; i < spare && !filler.empty(); ++i, filler.pop_back()) close(filler.back());
          int32_t index = -1;
          const int32_t found = lib.FindDevice(&index);
          for (int fd : filler) close(fd);
          if (found == 1 && lib.Initialise(index) != 1) _exit(10 + spare);
          lib.CloseAll();
        }
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(EndToEnd, MessagesWithoutADeviceAreExactToTheByte) {
  root.RemoveDriver("ftdi_sio");
  int32_t index = -1;
  EXPECT_EQ(lib.FindDevice(&index), 0);
  std::string buffer(200, '#');
  ASSERT_EQ(lib.GetLastErrorMsg(-1, nullptr), 183);
  ASSERT_EQ(lib.GetLastErrorMsg(-1, buffer.data()), 183);
  EXPECT_EQ(buffer.substr(0, 184),
            std::string("The Vozi Device driver is not installed.\nPlease plug in your Vozi Device and restart "
                        "Kymora.\n\nRefer to the Vozi Device Enabler Installation Guide\nif you continue to see "
                        "this message.") +
                std::string("\0#", 2))
      << "182 bytes with line feeds only, one zero, nothing beyond";

  lib.CloseAll();
  root.AddDriver("ftdi_sio");
  EXPECT_EQ(lib.FindDevice(&index), 0);
  EXPECT_EQ(lib.LastErrorMessage(-1),
            "The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora.");
  EXPECT_EQ(lib.GetLastErrorMsg(-1, nullptr), 85);
}

TEST_F(EndToEnd, ReadsDrainTheRingAsTheHostAsks) {
  AddInstrument("ZOR12345");
  const int32_t index = Find();
  ASSERT_EQ(lib.Initialise(index), 1);
  ASSERT_TRUE(Command(index, VOZI_ENABLE_CHANNEL, 5));
  ASSERT_TRUE(Command(index, VOZI_START_STREAM));
  std::this_thread::sleep_for(100ms);
  const int32_t held = lib.ReadBuffSize(index);
  EXPECT_GT(held, 0);
  char buffer[4096];
  EXPECT_EQ(lib.ReadBuffer(index, buffer, 3, 1000), 1);
  EXPECT_EQ(std::string(buffer, 3), "@ 0");
  lib.FlushReadBuffer(index);
  EXPECT_LT(lib.ReadBuffSize(index), 200) << "flushed (a few new lines may have come)";
  ASSERT_TRUE(Command(index, VOZI_STOP_STREAM));
}

}  // namespace
