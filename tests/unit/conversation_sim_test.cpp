// The whole conversation through a real pseudo-terminal with the simulated
// instrument: the frames on the wire, the states reached, and how each of the
// instrument's misbehaviours ends.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "startup/start_device.h"
#include "support/started_device.h"
#include "vozi/device_commands.h"
#include "vozi/device_description.h"
#include "vozi/handshake.h"
#include "vozi_enabler.h"
#include "vozi_sim/samples.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::StartedDevice;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3s) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

bool Command(StartedDevice& d, CommandCode code, int32_t argument = 0) {
  CommandRecord record{};
  char reply[64];
  record.reply = reply;
  record.replySize = sizeof reply;
  record.argument = argument;
  return handleCommand(*d.device, static_cast<int32_t>(code), &record);
}

// Reads `count` decoded lines and checks each against the instrument's
// sample, for every enabled field. Lines must be consecutive samples from
// `first` on.
void ExpectSamples(StartedDevice& d, const std::vector<size_t>& fields, uint64_t first, int count) {
  for (int k = 0; k < count; ++k) {
    const uint64_t n = first + static_cast<uint64_t>(k);
    std::string expected = "@ ";
    for (size_t i = 0; i < fields.size(); ++i) {
      expected += std::to_string(*vozisim::ExpectedDecoded(d.sim.Config(), fields[i], n));
      if (fields[i] != 5) expected += ",";
    }
    char line[256];
    ASSERT_TRUE(d.device->ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line, 2000)) << n;
    ASSERT_EQ(std::string(line), expected) << "sample " << n;
  }
}

TEST(Conversation, FramesOnTheWireInOrderAndIdleAtTheEnd) {
  StartedDevice d;
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(WaitUntil([&] { return CurrentState(*d.device) == HandshakeState::Idle; }));
  auto texts = d.sim.Frames().Texts();
  ASSERT_GE(texts.size(), 5u);
  size_t i = 0;
  while (i < texts.size() && texts[i] == "S") ++i;
  EXPECT_GE(i, 1u) << "greeting first";
  EXPECT_EQ(std::vector<std::string>(texts.begin() + static_cast<long>(i), texts.end()),
            (std::vector<std::string>{"V", "F", "U111111", "I"}));
  EXPECT_EQ(d.device->channelCount.load(), 6);
  EXPECT_EQ(d.device->firmwareVersion, u"1.1.0.1");
  EXPECT_EQ(d.device->modelName, u"VZ-8");
}

TEST(Conversation, VersionLineWithoutAModelNamesTheDefaultModel) {
  vozisim::SimConfig cfg;
  cfg.modelField = false;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  EXPECT_EQ(d.device->modelName, u"RezuzeRidev");
}

TEST(Conversation, AChannelListThatDoesNotMatchEndsTheReaderAndFailsTheStart) {
  vozisim::SimConfig cfg;
  cfg.namesDelta = 1;
  StartedDevice d(cfg);
  EXPECT_FALSE(d.started) << "a device that will answer no command must not start";
  EXPECT_TRUE(d.device->notResponding.load());
  EXPECT_TRUE(d.device->failed.load()) << "a device whose reader has ended must read as failed";
  EXPECT_TRUE(WaitUntil([&] { return !d.device->ReaderRunning(); }));
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::AwaitNames);
}

// A well-formed line that answers nothing, after any answer of the
// handshake: in the first conversation and in one restarted on the same
// device, it must neither end the reader nor be taken for part of the
// description.
class StrayLineAfterAnswer : public ::testing::TestWithParam<char> {};

TEST_P(StrayLineAfterAnswer, LeavesBothConversationsWhole) {
  vozisim::SimConfig cfg;
  cfg.strayAfter = std::string(1, GetParam());
  StartedDevice d(cfg);
  size_t from = 0;
  for (int conversation = 1; conversation <= 2; ++conversation) {
    SCOPED_TRACE(conversation == 1 ? "first conversation" : "restarted conversation");
    if (conversation == 2) {
      d.device->Close();
      from = d.sim.Frames().Count();
      d.started = StartDevice(*d.device, d.device->portName.c_str()) == kS_OK;
    }
    ASSERT_TRUE(d.started);
    ASSERT_TRUE(WaitUntil([&] { return CurrentState(*d.device) == HandshakeState::Idle; }));
    EXPECT_EQ(d.device->Description()->names.size(), 6u);
    std::vector<std::string> masks;
    const auto texts = d.sim.Frames().Texts();
    for (size_t i = from; i < texts.size(); ++i) {
      if (texts[i][0] == 'U') masks.push_back(texts[i]);
    }
    EXPECT_EQ(masks, std::vector<std::string>{"U111111"});
  }
}

INSTANTIATE_TEST_SUITE_P(Conversation, StrayLineAfterAnswer, ::testing::Values('S', 'V', 'F', 'U', 'I'),
                         [](const ::testing::TestParamInfo<char>& info) { return std::string(1, info.param); });

TEST(Conversation, ACrcFieldCountsAsTheMissingName) {
  vozisim::SimConfig cfg;
  cfg.crc = true;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  EXPECT_TRUE(d.device->Description()->hasCrc);
  EXPECT_EQ(d.device->channelCount.load(), 7);
  EXPECT_EQ(d.device->Description()->names.size(), 6u);
  for (int32_t c = 1; c <= 5; ++c) Command(d, CommandCode::EnableChannel, c);
  ASSERT_TRUE(Command(d, CommandCode::StartStream));
  ExpectSamples(d, {1, 2, 3, 4, 5}, 0, 20);
}

TEST(Conversation, AnInstrumentThatNeverAnswersStaysInTheGreeting) {
  vozisim::SimConfig cfg;
  cfg.silent = true;
  vozisim::Instrument sim(cfg);
  ASSERT_TRUE(sim.Start());
  const std::u16string path(sim.SlavePath().begin(), sim.SlavePath().end());
  OpenKymo::VoziSerial device(path.c_str(), 1, u"x");
  ASSERT_TRUE(device.OpenPort(device.portName.c_str()));
  ASSERT_TRUE(device.Configure(115200, platform::kRtsControlEnable));
  Handshake protocol;
  device.NewReceiveRing();
  ASSERT_TRUE(device.StartReader(&protocol));
  device.handshakeState.SetState(HandshakeState::Greeting);
  device.WakeReader();
  std::this_thread::sleep_for(200ms);
  EXPECT_GE(sim.Frames().Count(), 5u) << "S is resent every pass while the line is quiet";
  for (const auto& text : sim.Frames().Texts()) EXPECT_EQ(text, "S");
  EXPECT_EQ(CurrentState(device), HandshakeState::Greeting);
  device.Close();
}

// Misbehaviours on the line that must not cost a single good sample.
class LineFaults : public ::testing::TestWithParam<std::function<void(vozisim::SimConfig&)>> {};

TEST_P(LineFaults, EveryGoodLineArrivesIntact) {
  vozisim::SimConfig cfg;
  GetParam()(cfg);
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  for (int32_t c = 1; c <= 5; ++c) Command(d, CommandCode::EnableChannel, c);
  ASSERT_TRUE(Command(d, CommandCode::StartStream));
  ExpectSamples(d, {1, 2, 3, 4, 5}, 0, 60);
}

INSTANTIATE_TEST_SUITE_P(Conversation, LineFaults,
                         ::testing::Values([](vozisim::SimConfig& c) { c.noiseEvery = 3; },
                                           [](vozisim::SimConfig& c) { c.splitWrites = true; },
                                           [](vozisim::SimConfig& c) { c.lfCr = true; },
                                           [](vozisim::SimConfig& c) {
                                             c.missingChannel = 2;  // "*" every fourth sample: "0,"
                                             c.missingEvery = 4;
                                           }));

TEST(Conversation, AnOverlongLineCostsOnlyItself) {
  vozisim::SimConfig cfg;
  cfg.longLineEvery = 10;
  cfg.longLineOnce = true;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  Command(d, CommandCode::EnableChannel, 5);  // the counter: the scaled value is the sample number
  ASSERT_TRUE(Command(d, CommandCode::StartStream));
  ExpectSamples(d, {5}, 0, 30);
}

TEST(Conversation, AHangUpMidStreamFailsTheDeviceAndParksTheReader) {
  vozisim::SimConfig cfg;
  cfg.hangUpAfter = 20;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  ASSERT_TRUE(Command(d, CommandCode::StartStream));
  ASSERT_TRUE(WaitUntil([&] { return d.device->failed.load(); }));
  EXPECT_TRUE(d.device->ReaderRunning());
  const auto start = Clock::now();
  d.device->Close();
  EXPECT_FALSE(d.device->ReaderRunning());
  EXPECT_LT(Clock::now() - start, 600ms);
}

TEST(ConversationSlow, StartStreamGivesUpWhenTheInstrumentNeverAnswersB) {
  vozisim::SimConfig cfg;
  cfg.noStreamAck = true;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  const auto start = Clock::now();
  EXPECT_TRUE(Command(d, CommandCode::StartStream));
  EXPECT_GE(Clock::now() - start, 4900ms);
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::Starting);
  EXPECT_GE(d.sim.Frames().Count(), 100u) << "B is resent every pass";
}

TEST(ConversationSlow, StopStreamingGivesUpWhenTheInstrumentNeverStops) {
  vozisim::SimConfig cfg;
  cfg.noStopAck = true;
  StartedDevice d(cfg);
  ASSERT_TRUE(d.started);
  ASSERT_TRUE(d.WaitForDescription());
  ASSERT_TRUE(Command(d, CommandCode::StartStream));
  const auto start = Clock::now();
  EXPECT_TRUE(Command(d, CommandCode::StopStream));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 4900ms);
  EXPECT_LT(took, 7s);
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::Stopping);
}

}  // namespace
