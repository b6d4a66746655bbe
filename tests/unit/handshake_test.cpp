// The protocol state machine driven line by line on a device whose port is
// not open, with a recorder in place of the port: every row of the transition
// table, the exact frames in order, the version line, the channel-count check
// and the host's stop request.
#include "vozi/handshake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/vozi_serial.h"
#include "support/recording_protocol.h"
#include "vozi/device_description.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::string>;
using S = HandshakeState;

struct Conversation {
  testing_support::RecordingWriter writer;  // outlives the device's stop frame
  OpenKymo::VoziSerial device{u"/nonexistent/vozi", 1, u"x", &writer};
  Handshake protocol;
  size_t seen = 0;  // frames already looked at

  Conversation() { device.NewReceiveRing(); }
  HResult Line(std::string_view text) {
    return protocol.dispatchLine(device, text.data(), static_cast<int32_t>(text.size()));
  }
  // Bytes as the reader receives them, cut into lines as it does.
  HResult Received(std::string_view bytes) {
    auto read = [&](uint8_t* buffer, int32_t) {
      std::copy(bytes.begin(), bytes.end(), buffer);
      return static_cast<int32_t>(bytes.size());
    };
    return ReceiveLines(device.lineAssembler, read, [&](std::string_view line) { return Line(line); });
  }
  void Set(S state) { device.handshakeState.SetState(state); }
  S State() const { return CurrentState(device); }
  // Frames sent since the last call.
  Frames NewFrames() {
    const Frames all = writer.Frames();
    Frames fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
  }
  DeviceDescription* Description() { return device.ReaderDescription(); }
  // Greeting to Idle; by default a three-channel instrument.
  void RunHandshake(std::string_view format = "a,b,c", std::string_view names = "Time,Temp,Rate",
                 std::string_view units = "na,degC,bpm", std::string_view maxima = "na,50,250",
                 std::string_view minima = "na,-10,0") {
    Set(S::Greeting);
    for (std::string_view line : {std::string_view("S"), std::string_view("V,1,2,3,45,D800"), std::string_view("F"),
                                  format, std::string_view("EndOfCycle,0.001,0.01,1"), std::string_view("U"),
                                  std::string_view("I"), names, units, maxima, minima}) {
      ASSERT_EQ(Line(line), kS_OK) << line;
    }
  }
  std::string Drain() {
    uint8_t buffer[4096];
    int32_t count = sizeof buffer;
    if (!device.ReadBuffer(buffer, count, 0)) return "";
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
  }
};

TEST(Handshake, GreetingWaitsForAnS) {
  Conversation c;
  c.Set(S::Greeting);
  EXPECT_EQ(c.Line("V,1,2,3,4"), kS_OK);
  EXPECT_EQ(c.State(), S::Greeting);
  EXPECT_EQ(c.NewFrames(), Frames{});
  EXPECT_EQ(c.Line("S tail"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitVersion);
  EXPECT_EQ(c.NewFrames(), Frames{":V\n"});
  EXPECT_EQ(c.Line("s"), kS_OK);  // letters are case-sensitive, and 2 waits for V
  EXPECT_EQ(c.State(), S::AwaitVersion);
}

TEST(Handshake, VersionLineFillsTheTextsThenAsksForTheFormat) {
  Conversation c;
  c.Set(S::AwaitVersion);
  EXPECT_EQ(c.Line("X,1,2,3,4"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitVersion);
  EXPECT_EQ(c.Line("V,1,2,3,45"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitFormat);
  EXPECT_EQ(c.NewFrames(), Frames{":F\n"});
  EXPECT_EQ(c.device.firmwareVersion, u"1.2.3.45");
  EXPECT_EQ(c.device.firmwareNumber, u"45");
  EXPECT_EQ(c.device.modelName, u"RezuzeRidev");
}

TEST(Handshake, VersionLineModelName) {
  Conversation c;
  c.Set(S::AwaitVersion);
  c.Line("V,1,2,3,45,D800,extra");
  EXPECT_EQ(c.device.modelName, u"D800");
  Conversation trailing;
  trailing.Set(S::AwaitVersion);
  trailing.Line("V,1,2,3,45,");  // five fields: no model
  EXPECT_EQ(trailing.device.modelName, u"RezuzeRidev");
  EXPECT_EQ(trailing.device.firmwareNumber, u"45");
  Conversation empty;
  empty.Set(S::AwaitVersion);
  empty.Line("V,,,,,");  // five empty fields and a sixth that is empty too
  EXPECT_EQ(empty.device.firmwareVersion, u"...");
  EXPECT_EQ(empty.device.modelName, u"RezuzeRidev");
}

TEST(Handshake, ShortVersionLineLeavesTheTextsEmptyAndStillSendsF) {
  Conversation c;
  c.device.firmwareVersion = u"old";
  c.device.firmwareNumber = u"7";
  c.device.modelName = u"old";
  c.Set(S::AwaitVersion);
  EXPECT_EQ(c.Line("V,1,2,3"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitFormat);
  EXPECT_EQ(c.NewFrames(), Frames{":F\n"});
  EXPECT_EQ(c.device.firmwareVersion, u"");
  EXPECT_EQ(c.device.firmwareNumber, u"");
  EXPECT_EQ(c.device.modelName, u"");
}

TEST(Handshake, FormatLineCountsCommasAfterTheHeader) {
  Conversation c;
  c.Set(S::AwaitFormat);
  EXPECT_EQ(c.Line("a,b"), kS_OK);  // no header yet
  EXPECT_EQ(c.State(), S::AwaitFormat);
  EXPECT_EQ(c.device.channelCount, 0);
  c.Line("F");
  EXPECT_TRUE(c.device.headerSeen);
  c.Line("F,x,y,z");  // another header, not the format line
  EXPECT_EQ(c.State(), S::AwaitFormat);
  EXPECT_EQ(c.device.channelCount, 0);
  EXPECT_EQ(c.Line("a,b,c"), kS_OK);
  EXPECT_EQ(c.device.channelCount, 3);
  EXPECT_EQ(c.State(), S::AwaitPeriods);
  EXPECT_EQ(c.NewFrames(), Frames{});

  Conversation trailing;
  trailing.Set(S::AwaitFormat);
  trailing.Line("F");
  trailing.Line("a,b,c,");  // the trailing comma counts
  EXPECT_EQ(trailing.device.channelCount, 4);
}

TEST(Handshake, PeriodLineStartsAFreshDescriptionAndEnablesEveryChannel) {
  Conversation c;
  c.RunHandshake();
  const std::shared_ptr<DeviceDescription> previous = c.device.Description();
  previous->EnableChannel(1);
  c.device.channelCount = 4;
  c.Set(S::AwaitPeriods);
  c.NewFrames();
  EXPECT_EQ(c.Line("0.5,EndOfCycle"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitEnableAck);
  EXPECT_EQ(c.NewFrames(), Frames{":U1111\n"});
  const std::shared_ptr<DeviceDescription> fresh = c.device.Description();
  ASSERT_NE(fresh, previous);
  EXPECT_EQ(fresh.get(), c.Description());
  EXPECT_EQ(fresh->periods, std::vector<int32_t>{500000});
  EXPECT_TRUE(fresh->hasEndOfCycle);
  EXPECT_EQ(fresh->pending.load(), DeviceDescription::kPendingAll & ~DeviceDescription::kPendingPeriods);
  EXPECT_TRUE(fresh->EnabledChannels().empty());
  // A host thread still holding the previous record can go on reading it.
  EXPECT_EQ(previous->names.size(), 3u);
  EXPECT_TRUE(previous->IsChannelEnabled(1));
}

TEST(Handshake, EnableAckThenChannelInformation) {
  Conversation c;
  c.Set(S::AwaitEnableAck);
  c.Line("I");
  EXPECT_EQ(c.State(), S::AwaitEnableAck);
  EXPECT_EQ(c.Line("U1111"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitNames);
  EXPECT_EQ(c.NewFrames(), Frames{":I\n"});
}

TEST(Handshake, FullConversationSendsEveryFrameInOrder) {
  Conversation c;
  c.Set(S::Greeting);
  c.protocol.pollTransmit(c.device);
  c.protocol.pollTransmit(c.device);
  c.RunHandshake();
  EXPECT_EQ(c.State(), S::Idle);
  EXPECT_EQ(c.NewFrames(), (Frames{":S\n", ":S\n", ":V\n", ":F\n", ":U111\n", ":I\n"}));
  const DeviceDescription& d = *c.device.Description();
  EXPECT_TRUE(d.IsComplete());
  EXPECT_EQ(d.names, (std::vector<std::u16string>{u"Time", u"Temp", u"Rate"}));
  EXPECT_EQ(d.units, (std::vector<std::u16string>{u"degC", u"bpm"}));
  EXPECT_EQ(d.maxima, (std::vector<float>{32767.0f, 50.0f, 250.0f}));
  EXPECT_EQ(d.minima, (std::vector<float>{-32767.0f, -10.0f, 0.0f}));
  EXPECT_EQ(d.periods, (std::vector<int32_t>{1000, 10000, 1000000}));
  EXPECT_EQ(c.device.channelCount, 3);
  EXPECT_FALSE(c.device.notResponding);
}

TEST(Handshake, EachDescriptionLineMovesOneState) {
  Conversation c;
  c.RunHandshake();
  DeviceDescription* d = c.Description();
  c.Set(S::AwaitUnits);
  c.Line("U");  // any line, even one that looks like an answer
  EXPECT_EQ(c.State(), S::AwaitMaxima);
  EXPECT_EQ(d->units.back(), u"U");
  c.Line("9");
  EXPECT_EQ(c.State(), S::AwaitMinima);
  EXPECT_EQ(d->maxima.back(), 9.0f);
  c.Line("-9");
  EXPECT_EQ(c.State(), S::Idle);
  EXPECT_EQ(d->minima.back(), -9.0f);
}

TEST(Handshake, NamesMustMatchTheFormatLine) {
  struct Case {
    int32_t channels;
    const char* names;
    bool passes;
  };
  for (const Case& test : {Case{3, "a,b,c", true}, Case{3, "a,CRC,b", true}, Case{3, "a,b", false},
                           Case{3, "a,b,c,d", false}, Case{3, "a,b,c,CRC", true}, Case{4, "a,b,c,CRC", true},
                           Case{3, "a,b,c,d,CRC", false}, Case{3, "a,crc", false}}) {
    Conversation c;
    c.Set(S::AwaitFormat);
    c.Line("F");
    c.device.channelCount = test.channels;
    c.Set(S::AwaitPeriods);
    c.Line("1");
    c.Line("U");
    c.Line("I");
    const HResult result = c.Line(test.names);
    EXPECT_EQ(result, test.passes ? kS_OK : kE_ABORT) << test.names;
    EXPECT_EQ(c.State(), test.passes ? S::AwaitUnits : S::AwaitNames) << test.names;
    EXPECT_EQ(c.device.notResponding.load(), !test.passes) << test.names;
  }
}

TEST(Handshake, NamesLineNeedsAHeaderFirst) {
  Conversation c;
  c.Set(S::AwaitPeriods);
  c.device.channelCount = 2;
  c.Line("1");
  c.Set(S::AwaitNames);
  EXPECT_EQ(c.Line("a,b"), kS_OK);  // headerSeen still false: ignored
  EXPECT_EQ(c.State(), S::AwaitNames);
  EXPECT_TRUE(c.Description()->names.empty());
  c.Line("I,whatever");
  EXPECT_EQ(c.Line("a,b"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitUnits);
}

TEST(Handshake, TheFormatHeaderDoesNotStandInForTheNamesHeader) {
  Conversation c;
  c.Set(S::AwaitFormat);
  c.Line("F");
  c.Line("a,b");
  c.Line("1");
  c.Line("U");
  ASSERT_EQ(c.State(), S::AwaitNames);
  EXPECT_EQ(c.Line("x,y"), kS_OK) << "a line before the I header is no names line";
  EXPECT_EQ(c.State(), S::AwaitNames);
  c.Line("I");
  EXPECT_EQ(c.Line("x,y"), kS_OK);
  EXPECT_EQ(c.State(), S::AwaitUnits);
  EXPECT_EQ(c.Description()->names.size(), 2u);
}

TEST(Handshake, IdleIgnoresEverything) {
  Conversation c;
  c.RunHandshake();
  c.NewFrames();
  for (std::string_view line : {"B", "S", "V,1,2,3,4", "1,2,3"}) EXPECT_EQ(c.Line(line), kS_OK);
  EXPECT_EQ(c.State(), S::Idle);
  EXPECT_EQ(c.NewFrames(), Frames{});
  EXPECT_EQ(c.device.ReadBuffSize(), 0);
}

TEST(Handshake, NotStartedAndUnknownStatesIgnoreEverything) {
  for (int32_t state : {0, 14, 99, -1}) {
    Conversation c;
    c.Set(static_cast<S>(state));
    for (std::string_view line : {"S", "V,1,2,3,4", "F", "B", "1,2"}) EXPECT_EQ(c.Line(line), kS_OK);
    c.protocol.pollTransmit(c.device);
    EXPECT_EQ(c.State(), static_cast<S>(state));
    EXPECT_EQ(c.NewFrames(), Frames{});
  }
}

TEST(Handshake, StartingWaitsForBAndDoesNotDecodeIt) {
  Conversation c;
  c.RunHandshake();
  c.Description()->EnableChannel(1);
  c.Set(S::Starting);
  c.Line("S");
  EXPECT_EQ(c.State(), S::Starting);
  EXPECT_EQ(c.Line("B,0,0,0"), kS_OK);
  EXPECT_EQ(c.State(), S::Streaming);
  EXPECT_EQ(c.device.ReadBuffSize(), 0);
  // Then every line is data: ranges na..na for field 0, -10..50 for field 1.
  c.Line("0,20,100");
  EXPECT_EQ(c.Drain(), "@ 16384,\n");
}

TEST(Handshake, StreamingDecodesEvenALineThatLooksLikeAnAnswer) {
  Conversation c;
  c.RunHandshake("a", "Time", "s", "1", "0");  // one channel, so "S" has enough fields
  ASSERT_EQ(c.State(), S::Idle);
  c.Set(S::Streaming);
  EXPECT_EQ(c.Line("S"), kS_OK);
  EXPECT_EQ(c.State(), S::Streaming);
  EXPECT_EQ(c.Drain(), "@ \n");
}

TEST(Handshake, StoppingWaitsForS) {
  Conversation c;
  c.RunHandshake();
  c.Set(S::Stopping);
  c.Line("B");
  c.Line("1,2,3");
  EXPECT_EQ(c.State(), S::Stopping);
  EXPECT_EQ(c.device.ReadBuffSize(), 0);
  c.Line("S");
  EXPECT_EQ(c.State(), S::Idle);
}

TEST(Handshake, PollTransmitRepeatsOnlyWhatIsAwaited) {
  Conversation c;
  for (int32_t state = 0; state <= 13; ++state) {
    c.Set(static_cast<S>(state));
    c.protocol.pollTransmit(c.device);
    const Frames expected = state == 1 || state == 12 ? Frames{":S\n"} : state == 11 ? Frames{":B\n"} : Frames{};
    EXPECT_EQ(c.NewFrames(), expected) << "state " << state;
  }
}

TEST(Handshake, IsHandshakingFromGreetingToMinima) {
  Conversation c;
  for (int32_t state = -1; state <= 14; ++state) {
    c.Set(static_cast<S>(state));
    EXPECT_EQ(isHandshaking(c.device), state >= 1 && state <= 9) << state;
  }
}

TEST(Handshake, ALineEndsAtItsFirstZeroByte) {
  Conversation c;
  c.Set(S::Greeting);
  EXPECT_EQ(c.Received(std::string_view("\0S\r\n", 4)), kS_OK);
  EXPECT_EQ(c.State(), S::Greeting);
  c.Received(std::string_view("S\0junk\r\n", 8));
  EXPECT_EQ(c.State(), S::AwaitVersion);
  c.Received(std::string_view("V,1,2,3,45\0,D800\r\n", 18));
  EXPECT_EQ(c.device.modelName, u"RezuzeRidev");
}

TEST(Handshake, MoreThan26ChannelsAreEnabledInOneLongFrame) {
  Conversation c;
  c.Set(S::AwaitFormat);
  c.Line("F");
  c.Line(std::string(29, ','));  // 30 fields
  EXPECT_EQ(c.device.channelCount, 30);
  c.NewFrames();
  c.Line("1");
  EXPECT_EQ(c.NewFrames(), Frames{":U" + std::string(30, '1') + "\n"});
}

TEST(StopStreaming, ReturnsOnceTheInstrumentAnswers) {
  Conversation c;
  c.RunHandshake();
  c.Set(S::Streaming);
  std::thread reader([&] {
    // The reader thread: resend S until the state is Stopping, then answer.
    while (c.State() != S::Stopping) std::this_thread::sleep_for(1ms);
    c.protocol.pollTransmit(c.device);
    c.Line("S");
  });
  const auto start = Clock::now();
  StopStreaming(c.device);
  const auto took = Clock::now() - start;
  reader.join();
  EXPECT_EQ(c.State(), S::Idle);
  EXPECT_LT(took, 1s);
}

TEST(StopStreaming, SlowGivesUpAfterAboutFiveSeconds) {
  Conversation c;
  c.Set(S::Streaming);
  const auto start = Clock::now();
  StopStreaming(c.device);
  const auto took = Clock::now() - start;
  EXPECT_EQ(c.State(), S::Stopping);
  // 251 sleeps of 20 ms, on a clock that counts whole milliseconds (so the
  // bound may end up to 1 ms early).
  EXPECT_GE(took, 5019ms);
  EXPECT_LT(took, 7000ms);
}

}  // namespace
