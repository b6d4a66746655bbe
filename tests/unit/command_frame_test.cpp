// Command frames on the wire: ':' + text + LF, exact bytes and the 30-byte
// frame buffer's limits.
#include "serial/command_frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serial/vozi_serial.h"
#include "support/recording_protocol.h"

namespace {

using Frames = std::vector<std::string>;

class FailingWriter : public FrameWriter {
 public:
  bool WriteFrame(const uint8_t*, int32_t) override { return false; }
};

TEST(SendCommand, FramesTheTextExactly) {
  testing_support::RecordingWriter writer;
  EXPECT_TRUE(SendCommand(writer, "V"));
  EXPECT_TRUE(SendCommand(writer, "P12"));
  EXPECT_TRUE(SendCommand(writer, ""));
  EXPECT_EQ(writer.Frames(), (Frames{std::string("\x3A\x56\x0A"), ":P12\n", ":\n"}));
}

TEST(SendCommand, LongestTextFillsTheBufferAndOneMoreIsNotSent) {
  testing_support::RecordingWriter writer;
  const std::string longest(27, 'A');  // 29-byte frame + terminator = 30
  EXPECT_TRUE(SendCommand(writer, longest.c_str()));
  EXPECT_FALSE(SendCommand(writer, (longest + "A").c_str()));
  EXPECT_FALSE(SendCommand(writer, std::string(200, 'A').c_str()));
  EXPECT_EQ(writer.Frames(), Frames{":" + longest + "\n"});
}

TEST(SendCommand, ReportsTheWritersResult) {
  FailingWriter writer;
  EXPECT_FALSE(SendCommand(writer, "S"));
}

TEST(SendCommand, OnAClosedPortFailsAfterItsWriteBound) {
  OpenKymo::VoziSerial device(u"/nonexistent/vozi", 1, u"x");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendCommand(device, "V"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(SendChannelMask, OneFlagPerChannelInOrder) {
  testing_support::RecordingWriter writer;
  SendChannelMask(writer, {true, true, true, true});
  SendChannelMask(writer, {true, false, true});
  SendChannelMask(writer, {});
  EXPECT_EQ(writer.Frames(), (Frames{std::string("\x3A\x55\x31\x31\x31\x31\x0A"), ":U101\n", ":U\n"}));
}

TEST(SendChannelMask, MasksBeyondTheFrameBufferGoOutWhole) {
  testing_support::RecordingWriter writer;
  std::vector<bool> flags(26, true);
  SendChannelMask(writer, flags);  // exactly fills the frame buffer
  flags.push_back(false);
  SendChannelMask(writer, flags);
  std::vector<bool> many(300, false);
  many[299] = true;
  SendChannelMask(writer, many);
  const Frames frames = writer.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], ":U" + std::string(26, '1') + "\n");
  EXPECT_EQ(frames[1], ":U" + std::string(26, '1') + "0\n");
  EXPECT_EQ(frames[2], ":U" + std::string(299, '0') + "1\n");
}

}  // namespace
