// The device object on a real Win32 COM port: frames reach the line, the
// reader thread turns echoed CR LF lines into dispatched lines, and closing
// puts the stop frame on the line and ends the reader.
#include "serial/vozi_serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "support/serial_peer.h"

namespace {

using OpenKymo::VoziSerial;

const std::string kStopFrame("\x3A\x58\x0A", 3);

// Records what the reader thread hands to the protocol.
class RecordingProtocol : public LineProtocol {
 public:
  void pollTransmit(VoziSerial&) override { ++polls_; }
  HResult dispatchLine(VoziSerial&, const char* line, int32_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line, static_cast<size_t>(length));
    return kS_OK;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  int Polls() const { return polls_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::atomic<int> polls_{0};
};

class VoziSerialWin32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = wintest::TestComPort();
    ASSERT_FALSE(name_.empty()) << "run through scripts/wine-test (VOZI_TEST_COM_PORT unset)";
    ASSERT_TRUE(log_.Available()) << "run through scripts/wine-test (VOZI_TEST_PEER_LOG unset)";
  }

  bool Send(VoziSerial& device, const std::string& bytes) {
    return device.WriteFrame(reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()));
  }

  std::u16string name_;
  wintest::PeerLog log_;
};

TEST_F(VoziSerialWin32Test, OpenWriteCloseSendsFrameThenStopFrame) {
  size_t before = 0;
  {
    VoziSerial device(name_.c_str(), 7, u"0123");
    ASSERT_EQ(device.Open(name_.c_str(), 115200), kS_OK);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.GetBaudRate(), 115200);
    before = log_.Size();
    EXPECT_TRUE(Send(device, ":S\n"));
    EXPECT_EQ(log_.WaitForBytes(before, 3, 2000), ":S\n");
    before = log_.Size();
    device.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(log_.WaitForBytes(before, 3, 2000), kStopFrame);
  }
  // Destroying a closed device writes nothing more to the line.
  platform::SleepMs(100);
  EXPECT_EQ(log_.Size(), before + 3);
}

// The whole receive path on Win32: overlapped comm wait, immediate read, line
// cutting, dispatch. Lines the echo brings back arrive without CR, in order;
// a line without CR is not dispatched.
TEST_F(VoziSerialWin32Test, ReaderDispatchesEchoedLinesAndEndsOnDestruction) {
  RecordingProtocol protocol;
  size_t before = 0;
  {
    VoziSerial device(name_.c_str(), 8, u"4567");
    ASSERT_EQ(device.Open(name_.c_str(), 115200), kS_OK);
    device.NewReceiveRing();
    ASSERT_TRUE(device.StartReader(&protocol));
    EXPECT_TRUE(Send(device, "  V,1\r\n"));
    EXPECT_TRUE(Send(device, "S\n"));
    EXPECT_TRUE(Send(device, "DATA,12,34\r\nOK\r\n"));
    const uint64_t deadline = wintest::NowMs() + 3000;
    while (protocol.Lines().size() < 3 && wintest::NowMs() < deadline) platform::SleepMs(10);
    EXPECT_EQ(protocol.Lines(), (std::vector<std::string>{"V,1", "DATA,12,34", "OK"}));
    EXPECT_TRUE(device.ReaderRunning());
    EXPECT_FALSE(device.failed.load());
    EXPECT_GT(protocol.Polls(), 0);
    before = log_.Size();
    const uint64_t start = wintest::NowMs();
    device.Close();
    EXPECT_LT(wintest::NowMs() - start, 1000u) << "the reader must see the stop within a pass";
    EXPECT_FALSE(device.ReaderRunning());
  }
  // The stop frame went out (and its echo was not a line, so nothing more
  // was dispatched).
  EXPECT_EQ(log_.WaitForBytes(before, 3, 2000).substr(0, 3), kStopFrame);
  EXPECT_EQ(protocol.Lines().size(), 3u);
}

// A quiet line keeps the reader polling every pass (about 20 ms), not
// blocked in a comm wait.
TEST_F(VoziSerialWin32Test, ReaderKeepsPollingOnAQuietLine) {
  RecordingProtocol protocol;
  VoziSerial device(name_.c_str(), 9, u"89AB");
  ASSERT_EQ(device.Open(name_.c_str(), 115200), kS_OK);
  device.NewReceiveRing();
  ASSERT_TRUE(device.StartReader(&protocol));
  platform::SleepMs(400);
  const int polls = protocol.Polls();
  EXPECT_GE(polls, 5) << "passes must stay bounded by their 20 ms wait";
  EXPECT_LE(polls, 40);
  device.Close();
  EXPECT_FALSE(device.ReaderRunning());
}

// A fresh device whose port was never opened: Close sends no stop frame,
// makes no pause for one, and returns promptly.
TEST_F(VoziSerialWin32Test, CloseOnNeverOpenedDeviceIsQuick) {
  VoziSerial device(name_.c_str(), 10, u"CDEF");
  EXPECT_FALSE(device.IsOpen());
  const size_t before = log_.Size();
  const uint64_t start = wintest::NowMs();
  device.Close();
  const uint64_t took = wintest::NowMs() - start;
  EXPECT_LT(took, 300u);
  platform::SleepMs(50);
  EXPECT_EQ(log_.Size(), before) << "nothing may reach the line through a closed port";
}

}  // namespace
