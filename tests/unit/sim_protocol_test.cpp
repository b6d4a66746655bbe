// The simulated instrument's protocol logic without a terminal: its answer
// lines, its command handling, the frame cutter and its configuration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vozi_sim/conversation.h"
#include "vozi_sim/description.h"
#include "vozi_sim/frame_parser.h"
#include "vozi_sim/sim_config.h"

namespace vozisim {
namespace {

using Lines = std::vector<std::string>;

TEST(SimDescription, DefaultAnswerLinesAreExact) {
  SimConfig cfg;
  EXPECT_EQ(VersionLine(cfg), "V,1,1,0,1,VZ-8");
  EXPECT_EQ(FormatLine(cfg), "T,A,A,A,A,A");
  EXPECT_EQ(PeriodLine(cfg), "EndOfCycle,0.001,0.002,0.005,0.01,0.1,1");
  EXPECT_EQ(NamesLine(cfg), "Time,ECG,Pulse,Temp,Ramp,Counter");
  EXPECT_EQ(UnitsLine(cfg), "s,mV,bpm,degC,V,count");
  EXPECT_EQ(MaximaLine(cfg), "na,5,250,45,10,32767");
  EXPECT_EQ(MinimaLine(cfg), "na,-5,0,20,0,0");
}

TEST(SimDescription, VersionLineVariants) {
  SimConfig cfg;
  cfg.firmware = "7.9";
  cfg.version = "2.3.4";
  EXPECT_EQ(VersionLine(cfg), "V,2,3,4,7.9,VZ-8");
  cfg.modelField = false;  // the host must fall back to its default model name
  EXPECT_EQ(VersionLine(cfg), "V,2,3,4,7.9");
  cfg.modelField = true;
  cfg.versionFields = 3;  // fewer than five fields
  EXPECT_EQ(VersionLine(cfg), "V,2,3");
}

TEST(SimDescription, CrcFieldAddsAnEntryToEveryDescriptionLine) {
  SimConfig cfg;
  cfg.crc = true;
  EXPECT_EQ(FormatLine(cfg), "T,A,A,A,A,A,C");
  EXPECT_EQ(NamesLine(cfg), "Time,ECG,Pulse,Temp,Ramp,Counter,CRC");
  EXPECT_EQ(UnitsLine(cfg), "s,mV,bpm,degC,V,count,na");
  EXPECT_EQ(MaximaLine(cfg), "na,5,250,45,10,32767,na");
}

TEST(SimDescription, NamesDeltaAddsOrRemovesNamesBeforeTheCrc) {
  SimConfig cfg;
  cfg.namesDelta = 1;
  EXPECT_EQ(NamesLine(cfg), "Time,ECG,Pulse,Temp,Ramp,Counter,Extra1");
  cfg.namesDelta = -1;
  cfg.crc = true;
  EXPECT_EQ(NamesLine(cfg), "Time,ECG,Pulse,Temp,Ramp,CRC");
  cfg.namesDelta = -100;  // never below nothing
  EXPECT_EQ(NamesLine(cfg), "CRC");
}

TEST(SimDescription, ChannelCountAndOverrides) {
  SimConfig cfg;
  cfg.channels = 30;  // more than a 26-flag U frame can enable
  const std::vector<std::string> names = SplitList(NamesLine(cfg));
  ASSERT_EQ(names.size(), 30u);
  EXPECT_EQ(names[6], "Ch6");
  EXPECT_EQ(names[29], "Ch29");
  EXPECT_EQ(SplitList(FormatLine(cfg)).size(), 30u);

  cfg.channels = 3;
  cfg.names = "t,Rate";
  cfg.units = "na,bpm,x,y";  // entries beyond the channels are ignored
  cfg.types = "F";           // a format line beginning with F is the user's choice
  EXPECT_EQ(NamesLine(cfg), "t,Rate,Pulse");
  EXPECT_EQ(UnitsLine(cfg), "na,bpm,x");
  EXPECT_EQ(FormatLine(cfg), "F,A,A");
}

TEST(SimDescription, SplitListKeepsEmptyFields) {
  EXPECT_EQ(SplitList(""), Lines{});
  EXPECT_EQ(SplitList("a,,b"), (Lines{"a", "", "b"}));
  EXPECT_EQ(SplitList("a,"), (Lines{"a", ""}));
  EXPECT_EQ(SplitList(","), (Lines{"", ""}));
}

TEST(SimDescription, PeriodPositionsCountEndOfCycle) {
  SimConfig cfg;
  EXPECT_EQ(PeriodMicrosAt(cfg, 0), std::nullopt);  // EndOfCycle is not a period
  EXPECT_EQ(PeriodMicrosAt(cfg, 1), 1000);
  EXPECT_EQ(PeriodMicrosAt(cfg, 6), 1000000);
  EXPECT_EQ(PeriodMicrosAt(cfg, 7), std::nullopt);
  EXPECT_EQ(PeriodMicrosAt(cfg, -1), std::nullopt);
  cfg.endOfCycle = false;
  EXPECT_EQ(PeriodMicrosAt(cfg, 0), 1000);
  cfg.periods = "x,2.5e-4,0.0001";
  EXPECT_EQ(PeriodMicrosAt(cfg, 0), std::nullopt);  // offered, but not a number
  EXPECT_EQ(PeriodMicrosAt(cfg, 1), 250);
  EXPECT_EQ(StartPeriodMicros(cfg), 250);  // first period that is a number
  cfg.startPeriod = 2;
  EXPECT_EQ(StartPeriodMicros(cfg), 100);
}

class SimConversation : public ::testing::Test {
 protected:
  Conversation::Reply Send(Conversation& c, const char* command) { return c.Handle(command); }
  SimConfig cfg;
};

TEST_F(SimConversation, HandshakeAnswers) {
  Conversation c(cfg);
  EXPECT_EQ(Send(c, "S").lines, Lines{"S"});
  EXPECT_EQ(Send(c, "V").lines, Lines{"V,1,1,0,1,VZ-8"});
  EXPECT_EQ(Send(c, "F").lines,
            (Lines{"F", "T,A,A,A,A,A", "EndOfCycle,0.001,0.002,0.005,0.01,0.1,1"}));
  EXPECT_EQ(Send(c, "U111111").lines, Lines{"U"});
  EXPECT_EQ(c.ChannelMask(), "111111");
  EXPECT_EQ(Send(c, "I").lines,
            (Lines{"I", "Time,ECG,Pulse,Temp,Ramp,Counter", "s,mV,bpm,degC,V,count",
                   "na,5,250,45,10,32767", "na,-5,0,20,0,0"}));
  EXPECT_TRUE(Send(c, "Q").lines.empty());
  EXPECT_TRUE(Send(c, "").lines.empty());
}

TEST_F(SimConversation, StreamStartsOnBAndStopsOnSOrX) {
  Conversation c(cfg);
  auto b = Send(c, "B");
  EXPECT_EQ(b.lines, Lines{"B"});
  EXPECT_TRUE(b.startStream);
  EXPECT_TRUE(c.Streaming());
  // A repeated B is answered but must not restart the samples.
  auto again = Send(c, "B");
  EXPECT_EQ(again.lines, Lines{"B"});
  EXPECT_FALSE(again.startStream);
  auto s = Send(c, "S");
  EXPECT_TRUE(s.stopStream);
  EXPECT_EQ(s.lines, Lines{"S"});
  EXPECT_FALSE(c.Streaming());
  Send(c, "B");
  auto x = Send(c, "X");
  EXPECT_TRUE(x.stopStream);
  EXPECT_TRUE(x.endOfConversation);
  EXPECT_TRUE(x.lines.empty());
  EXPECT_FALSE(c.Streaming());
}

TEST_F(SimConversation, PeriodSelection) {
  Conversation c(cfg);
  EXPECT_EQ(c.PeriodMicros(), 1000);
  auto p = Send(c, "P5");
  EXPECT_TRUE(p.periodChanged);
  EXPECT_TRUE(p.lines.empty());
  EXPECT_EQ(c.PeriodMicros(), 100000);
  for (const char* ignored : {"P0", "P7", "P", "P1x", "P-1", "P99"}) {
    EXPECT_FALSE(Send(c, ignored).periodChanged) << ignored;
    EXPECT_EQ(c.PeriodMicros(), 100000) << ignored;
  }
}

TEST_F(SimConversation, FaultSwitches) {
  cfg.silent = true;
  Conversation silent(cfg);
  EXPECT_TRUE(Send(silent, "S").lines.empty());
  EXPECT_TRUE(Send(silent, "X").endOfConversation);

  cfg = {};
  cfg.greetingOnly = true;
  Conversation greeting(cfg);
  EXPECT_EQ(Send(greeting, "S").lines, Lines{"S"});
  EXPECT_TRUE(Send(greeting, "V").lines.empty());
  EXPECT_TRUE(Send(greeting, "B").lines.empty());
  EXPECT_EQ(Send(greeting, "S").lines, Lines{"S"});

  cfg = {};
  cfg.noStreamAck = true;
  Conversation noB(cfg);
  auto b = Send(noB, "B");
  EXPECT_TRUE(b.lines.empty());
  EXPECT_FALSE(b.startStream);

  cfg = {};
  cfg.noStopAck = true;
  Conversation noS(cfg);
  EXPECT_EQ(Send(noS, "S").lines, Lines{"S"});  // answered while idle
  Send(noS, "B");
  auto s = Send(noS, "S");
  EXPECT_TRUE(s.lines.empty());
  EXPECT_FALSE(s.stopStream);
  EXPECT_TRUE(noS.Streaming());
}

std::vector<Frame> Feed(FrameParser& p, std::string_view bytes) {
  std::vector<Frame> out;
  p.Feed(bytes, {}, out);
  return out;
}

TEST(SimFrameParser, CutsFramesAndKeepsRawBytes) {
  FrameParser p;
  auto frames = Feed(p, ":S\n:U1111\n");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].text, "S");
  EXPECT_EQ(frames[0].raw, ":S\n");
  EXPECT_EQ(frames[1].text, "U1111");
  EXPECT_EQ(p.JunkBytes(), 0u);
}

TEST(SimFrameParser, ToleratesCrJunkAndPieces) {
  FrameParser p;
  using namespace std::string_view_literals;
  auto frames = Feed(p, "\x00zz:V\r\n"sv);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].text, "V");
  EXPECT_EQ(frames[0].raw, ":V\r\n");
  EXPECT_EQ(p.JunkBytes(), 3u);
  EXPECT_TRUE(Feed(p, ":P1").empty());
  frames = Feed(p, "2\n");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].text, "P12");
  EXPECT_EQ(frames[0].raw, ":P12\n");
}

TEST(SimFrameParser, NewColonDiscardsUnfinishedFrame) {
  FrameParser p;
  auto frames = Feed(p, ":B:S\n");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].text, "S");
  EXPECT_EQ(p.JunkBytes(), 2u);
}

TEST(SimFrameParser, OverlongFrameIsJunk) {
  FrameParser p;
  std::string longFrame = ":" + std::string(FrameParser::kMaxFrameBytes, 'U') + "\n";
  EXPECT_TRUE(Feed(p, longFrame).empty());
  // The longest accepted frame still gets through.
  std::string longest = ":" + std::string(FrameParser::kMaxFrameBytes - 2, 'U') + "\n";
  EXPECT_EQ(Feed(p, longest).size(), 1u);
}

TEST(SimConfigKeys, OptionsAndConfigText) {
  SimConfig cfg;
  EXPECT_EQ(ApplyOption(cfg, "firmware", "7.9"), std::nullopt);
  EXPECT_EQ(cfg.firmware, "7.9");
  EXPECT_EQ(ApplyOption(cfg, "burst", ""), std::nullopt);  // a flag alone means true
  EXPECT_TRUE(cfg.burst);
  EXPECT_EQ(ApplyOption(cfg, "burst", "off"), std::nullopt);
  EXPECT_FALSE(cfg.burst);
  EXPECT_NE(ApplyOption(cfg, "burst", "maybe"), std::nullopt);
  EXPECT_NE(ApplyOption(cfg, "channels", "3x"), std::nullopt);
  EXPECT_NE(ApplyOption(cfg, "no-such-key", "1"), std::nullopt);

  EXPECT_EQ(LoadConfigText(cfg, "# comment\n\n  model = D800 \nchannels=4\r\nlf-cr=true\n"),
            std::nullopt);
  EXPECT_EQ(cfg.model, "D800");
  EXPECT_EQ(cfg.channels, 4);
  EXPECT_TRUE(cfg.lfCr);
  auto err = LoadConfigText(cfg, "model=x\nnot a pair\n");
  ASSERT_TRUE(err);
  EXPECT_NE(err->find("line 2"), std::string::npos);
}

TEST(SimConfigKeys, ValidateRejectsUnusableConfigs) {
  SimConfig cfg;
  EXPECT_EQ(Validate(cfg), std::nullopt);
  cfg.periods = "EndOfCycle,x";
  EXPECT_NE(Validate(cfg), std::nullopt);
  cfg = {};
  cfg.channels = 0;
  EXPECT_NE(Validate(cfg), std::nullopt);
  cfg = {};
  cfg.waves = "ramp,zigzag";
  EXPECT_NE(Validate(cfg), std::nullopt);
}

}  // namespace
}  // namespace vozisim
