// Device commands against the simulated instrument: every code, its exact
// reply bytes or fields, and streaming whose every byte the test predicts.
#include "vozi/device_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/module_resources.h"
#include "support/started_device.h"
#include "vozi/handshake.h"
#include "vozi_enabler.h"
#include "vozi_sim/samples.h"

namespace {

using namespace std::chrono_literals;
using testing_support::StartedDevice;

class DeviceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(d.started);
    ASSERT_TRUE(d.WaitForDescription());
  }

  // Runs a command with a fresh record; the reply buffer starts as '#'s.
  bool Run(CommandCode code, int32_t argument = 0, int32_t replySize = 512) {
    reply.assign(600, '#');
    record = CommandRecord{};
    record.reply = reply.data();
    record.replySize = replySize;
    record.argument = argument;
    record.count = -99;
    record.value = -99.0f;
    return handleCommand(*d.device, static_cast<int32_t>(code), &record);
  }
  std::string Text() const { return std::string(reply.c_str()); }
  bool Untouched() const { return reply[0] == '#'; }

  StartedDevice d;
  std::string reply;
  CommandRecord record{};
};

TEST_F(DeviceCommands, IdentityReplies) {
  EXPECT_TRUE(Run(CommandCode::GetModelName));
  EXPECT_EQ(Text(), "VZ-8");
  EXPECT_TRUE(Run(CommandCode::GetVersionText));
  EXPECT_EQ(Text(), "1.1.0.1");
  EXPECT_TRUE(Run(CommandCode::GetPortDescription));
  EXPECT_EQ(Text(), "12345A");
  EXPECT_TRUE(Run(CommandCode::GetLastChannel));
  EXPECT_EQ(record.count, 5);
  EXPECT_TRUE(Run(CommandCode::ClearCount));
  EXPECT_EQ(record.count, 0);
}

TEST_F(DeviceCommands, ChannelDescriptionsAndOutOfRangeIndices) {
  EXPECT_TRUE(Run(CommandCode::GetChannelName, 2));
  EXPECT_EQ(Text(), "Pulse");
  EXPECT_TRUE(Run(CommandCode::GetChannelUnits, 3));
  EXPECT_EQ(Text(), "degC");
  EXPECT_TRUE(Run(CommandCode::GetChannelMinimum, 1));
  EXPECT_EQ(record.value, -5.0f);
  EXPECT_TRUE(Run(CommandCode::GetChannelMaximum, 0));
  EXPECT_EQ(record.value, 32767.0f) << "na";
  EXPECT_TRUE(Run(CommandCode::GetChannelRange, 1));
  EXPECT_EQ(Text(), "-5,5,mV;");
  EXPECT_TRUE(Run(CommandCode::GetChannelRange, 0));
  EXPECT_EQ(Text(), "-32767,32767,s;");
  for (int32_t bad : {6, 100, -1, -2147483647 - 1}) {
    SCOPED_TRACE(bad);
    for (CommandCode code : {CommandCode::GetChannelName, CommandCode::GetChannelUnits, CommandCode::GetChannelRange,
                             CommandCode::GetInputAmpControls}) {
      EXPECT_TRUE(Run(code, bad));
      EXPECT_TRUE(Untouched());
    }
    EXPECT_TRUE(Run(CommandCode::GetChannelMinimum, bad));
    EXPECT_EQ(record.value, -99.0f);
  }
}

TEST_F(DeviceCommands, InputAmpControlsAreTheResourceAndOneLineFeed) {
  EXPECT_TRUE(Run(CommandCode::GetInputAmpControls, 1));
  const std::string text = Text();
  ASSERT_EQ(text.size(), 348u);
  EXPECT_EQ(text, *platform::LoadOwnRcData(105) + "\n");
  EXPECT_EQ(text.substr(0, 34), "/*\r\n * Vozi Input Amp Control List");
}

TEST_F(DeviceCommands, SamplePeriodsComeInReverseOrder) {
  EXPECT_TRUE(Run(CommandCode::GetSamplePeriods));
  EXPECT_EQ(Text(), "1000000,100000,10000,5000,2000,1000");
}

TEST_F(DeviceCommands, UnsupportedCodesAreRefusedWithTheirReply) {
  for (int32_t code : {1, 2, 5, 60, -1, 36}) {
    SCOPED_TRACE(code);
    EXPECT_FALSE(Run(static_cast<CommandCode>(code)));
    EXPECT_EQ(Text(), "^Unsupported SDA command");
  }
}

TEST_F(DeviceCommands, RepliesNeverPassTheHostBuffer) {
  EXPECT_TRUE(Run(CommandCode::GetChannelName, 2, 4));
  EXPECT_EQ(reply.substr(0, 5), std::string("Pul\0#", 5)) << "cut, terminated, nothing beyond";
  EXPECT_TRUE(Run(CommandCode::GetChannelName, 2, 0));
  EXPECT_TRUE(Untouched());
}

TEST_F(DeviceCommands, SelectPeriodStopsThenSendsThePosition) {
  const size_t before = d.sim.Frames().Count();
  EXPECT_TRUE(Run(CommandCode::SelectPeriod, 10000));
  const auto p = d.sim.Frames().WaitFor("P4", 1s, before);
  ASSERT_TRUE(p.has_value()) << "10000 us is the 4th period, after EndOfCycle";
  const auto texts = d.sim.Frames().Texts();
  EXPECT_EQ(texts[*p - 1], "S") << "the stream is stopped first";
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::Idle);

  const size_t after = d.sim.Frames().Count();
  EXPECT_TRUE(Run(CommandCode::SelectPeriod, 12345));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(d.sim.Frames().Count(), after) << "an unknown period sends nothing";
}

// The decoded text of one data line, computed from the instrument's fields
// and ranges the way the host expects it.
std::string Expected(const std::vector<std::string>& fields, const std::vector<int32_t>& enabled,
                     const std::vector<float>& minima, const std::vector<float>& maxima, size_t names) {
  std::string out = "@ ";
  for (size_t i = 1; i < names; ++i) {
    bool on = false;
    for (int32_t e : enabled) on = on || static_cast<size_t>(e) == i;
    if (!on) continue;
    if (fields[i] == "*") {
      out += "0,";
      continue;
    }
    float v = std::strtof(fields[i].c_str(), nullptr);
    v = std::min(std::max(v, minima[i]), maxima[i]);
    const float r = ((v - minima[i]) / (maxima[i] - minima[i])) * 32767.0f;
    out += std::to_string(static_cast<int32_t>(std::floor(static_cast<double>(r) + 0.5)));
    if (i != names - 1) out += ",";
  }
  return out;
}

TEST_F(DeviceCommands, StreamingDeliversEveryLineThePredictionGives) {
  const std::vector<int32_t> enabled = {1, 2, 4, 5};
  for (int32_t channel : enabled) EXPECT_TRUE(Run(CommandCode::EnableChannel, channel));
  EXPECT_TRUE(Run(CommandCode::EnableChannel, 3));
  EXPECT_TRUE(Run(CommandCode::EnableChannel, 3));
  EXPECT_TRUE(Run(CommandCode::DisableChannel, 3));  // enabled twice, disabled once: off
  ASSERT_TRUE(Run(CommandCode::StartStream));
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::Streaming);

  const std::vector<float> minima = {-32767, -5, 0, 20, 0, 0};
  const std::vector<float> maxima = {32767, 5, 250, 45, 10, 32767};
  for (uint64_t n = 0; n < 200; ++n) {
    char line[256];
    ASSERT_TRUE(d.device->ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line, 2000)) << n;
    ASSERT_EQ(std::string(line), Expected(vozisim::DataFields(d.sim.Config(), n), enabled, minima, maxima, 6))
        << "sample " << n;
  }
  EXPECT_TRUE(Run(CommandCode::StopStream));
  EXPECT_EQ(CurrentState(*d.device), HandshakeState::Idle);
}

TEST_F(DeviceCommands, StreamingWithNothingEnabledGivesEmptyLines) {
  ASSERT_TRUE(Run(CommandCode::StartStream));
  char line[64];
  ASSERT_TRUE(d.device->ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line, 2000));
  EXPECT_STREQ(line, "@ ");
}

TEST(DeviceCommandsSlow, ADescriptionThatNeverComesFailsAfterFifteenLooks) {
  vozisim::SimConfig cfg;
  cfg.namesDelta = 1;  // one name too many: the handshake ends before the description is whole
  StartedDevice d(cfg);  // start-up fails too (the reader has ended); the command still waits it out
  ASSERT_TRUE(d.device);
  CommandRecord record{};
  std::string reply(16, '#');
  record.reply = reply.data();
  record.replySize = 16;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(handleCommand(*d.device, static_cast<int32_t>(CommandCode::GetModelName), &record));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 14900ms);
  EXPECT_LT(took, 17s);
  EXPECT_TRUE(d.device->notResponding.load());
  EXPECT_EQ(reply[0], '#');
}

}  // namespace
