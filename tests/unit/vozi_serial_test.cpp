// The device object against a real pseudo-terminal: port settings, frames on
// the wire, the stop frame, the reader thread's line cutting, failure and
// restart.
#include "serial/vozi_serial.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support/pty_pair.h"
#include "support/recording_protocol.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using OpenKymo::VoziSerial;
using testing_support::PtyPair;
using testing_support::RecordingProtocol;

struct OpenDevice {
  PtyPair pty;
  VoziSerial device{pty.SlavePath16().c_str(), 130, u"12345A"};
  OpenDevice() {
    EXPECT_TRUE(device.OpenPort(device.portName.c_str()));
    EXPECT_TRUE(device.Configure(115200, platform::kRtsControlEnable));
  }
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(VoziSerial, FreshObjectIsClosedAndItsCloseStillReturnsPromptly) {
  VoziSerial device(u"/nonexistent/tty", 1, u"x");
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetBaudRate(), 0);
  const auto start = Clock::now();
  device.Close();
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_TRUE(device.stopRequested.load());
}

TEST(VoziSerial, ConfiguresRaw8N1At115200) {
  OpenDevice d;
  termios t{};
  int fd = open(d.pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(d.device.GetBaudRate(), 115200);
}

TEST(VoziSerial, BaudRateChangesAreRecordedAndTestedRatesRestored) {
  OpenDevice d;
  EXPECT_TRUE(d.device.SetBaudRate(0));
  EXPECT_EQ(d.device.GetBaudRate(), 0);
  EXPECT_TRUE(d.device.SetBaudRate(-9600));
  EXPECT_EQ(d.device.GetBaudRate(), -9600);
  EXPECT_TRUE(d.device.SetBaudRate(115200));
  EXPECT_TRUE(d.device.CanUseBaudRate(57600));
  EXPECT_EQ(d.device.GetBaudRate(), 115200);
  EXPECT_TRUE(d.device.CanUseBaudRate(12345)) << "rates without a Bnnn constant go through termios2";
  EXPECT_EQ(d.device.GetBaudRate(), 115200);
}

TEST(VoziSerial, WritesFramesByteForByteAndClosesWithTheStopFrame) {
  OpenDevice d;
  const uint8_t frame[] = {':', 'V', '\n'};
  EXPECT_TRUE(d.device.WriteFrame(frame, 3));
  EXPECT_EQ(d.pty.Receive(3), ":V\n");
  d.device.Close();
  EXPECT_EQ(d.pty.Receive(3), ":X\n");
  EXPECT_FALSE(d.device.IsOpen());
}

TEST(VoziSerial, ClosingManyDevicesWhosePortsWereNeverOpenedTakesNoTime) {
  // A host that found many instruments and started none must not wait for
  // a stop frame and its pause per device when it closes them all.
  std::vector<std::unique_ptr<VoziSerial>> devices;
  for (int i = 0; i < 100; ++i) devices.push_back(std::make_unique<VoziSerial>(u"/nonexistent/tty", i, u"x"));
  const auto start = Clock::now();
  devices.clear();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(VoziSerial, WriteOnAClosedPortFailsWithinItsBound) {
  VoziSerial device(u"/nonexistent/tty", 1, u"x");
  const uint8_t frame[] = {':', 'S', '\n'};
  const auto start = Clock::now();
  EXPECT_FALSE(device.WriteFrame(frame, 3));
  EXPECT_LT(Clock::now() - start, 200ms);
}

TEST(VoziSerial, APortCannotBeOpenedTwice) {
  OpenDevice d;
  VoziSerial second(d.pty.SlavePath16().c_str(), 2, u"y");
  EXPECT_FALSE(second.OpenPort(second.portName.c_str()));
  d.device.Close();
  EXPECT_TRUE(second.OpenPort(second.portName.c_str())) << "closing releases the port";
}

TEST(VoziSerial, ReaderCutsLinesAsTheInstrumentEndsThem) {
  RecordingProtocol protocol;  // outlives the device and its reader thread
  OpenDevice d;
  ASSERT_TRUE(d.device.StartReader(&protocol));
  d.pty.Send("S\r\n");          // one-byte line
  d.pty.Send("  V,1\r\n");      // leading white space is dropped
  d.pty.Send("\r\n");           // bare CR LF: nothing
  d.pty.Send("S\n");            // no CR: not a line (taken when the next byte comes)
  d.pty.Send("F,1,");           // split across reads
  std::this_thread::sleep_for(30ms);
  d.pty.Send("2\r\nI\r\nU\r\n");  // two lines in one read
  EXPECT_EQ(protocol.WaitForLines(5), (std::vector<std::string>{"S", "V,1", "F,1,2", "I", "U"}));
  d.device.Close();
  EXPECT_FALSE(d.device.ReaderRunning());
}

TEST(VoziSerial, ReaderAcceptsLfCrLinesAndRecoversFromAnOverlongLine) {
  RecordingProtocol protocol;  // outlives the device and its reader thread
  OpenDevice d;
  ASSERT_TRUE(d.device.StartReader(&protocol));
  d.pty.Send("A\n\rB\n\r");
  d.pty.Send(std::string(20000, 'x') + "\r\nC\r\n");
  EXPECT_EQ(protocol.WaitForLines(3), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(d.device.lineAssembler.DiscardedLines(), 1u);
}

TEST(VoziSerial, ReaderKeepsALineThatFillsItsStoreAndTheLineAfterIt) {
  // 8190 bytes and the LF fill the assembler's store exactly; whether the
  // line ends there or with a CR after the LF is known only from the next
  // byte, which must still be read, and the next line must survive.
  struct Case {
    const char* ending;
    std::vector<std::string> lines;  // a line of 8190 x as "8190 x"
  };
  const std::string line(8190, 'x');
  for (const Case& c : {Case{"\n", {"S"}}, Case{"\n\r", {"8190 x", "S"}}}) {
    SCOPED_TRACE(c.lines.size() == 1 ? "bare LF" : "LF CR");
    RecordingProtocol protocol;  // outlives the device and its reader thread
    OpenDevice d;
    ASSERT_TRUE(d.device.StartReader(&protocol));
    d.pty.Send(line + c.ending + "S\r\n");
    std::vector<std::string> seen = protocol.WaitForLines(c.lines.size());
    for (std::string& s : seen) {
      if (s == line) s = "8190 x";
    }
    EXPECT_EQ(seen, c.lines);
    EXPECT_EQ(d.device.lineAssembler.DiscardedLines(), 0u);
  }
}

TEST(VoziSerial, AbortFromTheProtocolEndsTheReader) {
  RecordingProtocol protocol;  // outlives the device and its reader thread
  OpenDevice d;
  protocol.AbortOn("N");
  ASSERT_TRUE(d.device.StartReader(&protocol));
  d.pty.Send("N\r\n");
  protocol.WaitForLines(1);
  const auto deadline = Clock::now() + 2s;
  while (d.device.ReaderRunning() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(d.device.ReaderRunning());
  EXPECT_TRUE(d.device.failed.load()) << "a device whose reader has ended can do nothing more";
}

TEST(VoziSerial, HangUpMarksTheDeviceFailedAndParksTheReaderWithoutSpinning) {
  RecordingProtocol protocol;  // outlives the device and its reader thread
  OpenDevice d;
  ASSERT_TRUE(d.device.StartReader(&protocol));
  d.pty.HangUp();
  const auto deadline = Clock::now() + 2s;
  while (!d.device.failed.load() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(d.device.failed.load());
  EXPECT_TRUE(d.device.ReaderRunning()) << "parked, waiting for the stop signal";
  const int passes = protocol.Passes();
  const double cpu = CpuSeconds();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(protocol.Passes(), passes) << "a parked reader makes no passes";
  EXPECT_LT(CpuSeconds() - cpu, 0.1);
  d.device.Close();
  EXPECT_FALSE(d.device.ReaderRunning());
}

TEST(VoziSerial, ARestartedReaderGetsACleanStopSignal) {
  RecordingProtocol first;
  RecordingProtocol second;
  OpenDevice d;
  ASSERT_TRUE(d.device.StartReader(&first));
  // A stop left pending from an earlier Close must not end the next thread.
  d.device.stopEvent.Set();
  d.device.EndReader();
  ASSERT_TRUE(d.device.StartReader(&second));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(d.device.ReaderRunning());
  d.pty.Send("S\r\n");
  EXPECT_EQ(second.WaitForLines(1), std::vector<std::string>{"S"});
  const auto start = Clock::now();
  d.device.Close();
  EXPECT_FALSE(d.device.ReaderRunning()) << "a Close after the restart reaches the new thread";
  EXPECT_LT(Clock::now() - start, 600ms);
}

// A protocol that waits for no answer: the reader need not poll every 20 ms.
class QuietProtocol : public RecordingProtocol {
 public:
  bool awaitingAnswer(const OpenKymo::VoziSerial&) const override { return awaiting.load(); }
  std::atomic<bool> awaiting{false};
};

TEST(VoziSerial, AnIdleReaderSleepsUntilWokenAndThenPollsAgain) {
  QuietProtocol protocol;
  OpenDevice d;
  ASSERT_TRUE(d.device.StartReader(&protocol));
  std::this_thread::sleep_for(50ms);
  const int idlePasses = protocol.Passes();
  std::this_thread::sleep_for(400ms);
  EXPECT_LE(protocol.Passes() - idlePasses, 1) << "no 20 ms polling while nothing is awaited";

  // A state change on the host's side wakes it at once, and while an answer
  // is awaited it resends on every 20 ms pass again.
  protocol.awaiting = true;
  const int before = protocol.Passes();
  d.device.WakeReader();
  std::this_thread::sleep_for(200ms);
  EXPECT_GE(protocol.Passes() - before, 5);

  // Input still ends an idle wait at once.
  protocol.awaiting = false;
  std::this_thread::sleep_for(50ms);
  d.pty.Send("S\r\n");
  EXPECT_EQ(protocol.WaitForLines(1, 200ms), std::vector<std::string>{"S"});
}

// Passes each line into the ring, as the sample decoder does.
class RingProtocol : public RecordingProtocol {
 public:
  HResult dispatchLine(VoziSerial& device, const char* line, int32_t length) override {
    std::string text(line, static_cast<size_t>(length));
    text += '\n';
    device.Ring()->PutLine(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int32_t>(text.size()));
    return kS_OK;
  }
};

// While reads come back big the reader wakes a waiting host once per batch,
// not per read; the last batch of a burst must still reach it as soon as the
// instrument falls silent, not when the host's time-out runs out.
TEST(VoziSerial, AHostWaitingForTheRingSeesTheEndOfABurstAtOnce) {
  RingProtocol protocol;
  OpenDevice d;
  d.device.NewReceiveRing();
  ASSERT_TRUE(d.device.StartReader(&protocol));
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += "@ " + std::to_string(i) + ",16384,16384,16384,16384,16384\r\n";
  uint8_t line[64];
  std::thread instrument([&] {
    std::this_thread::sleep_for(50ms);  // the host is waiting by then
    d.pty.Send(burst);
  });
  for (int i = 0; i < 200; ++i) {
    const auto start = Clock::now();
    ASSERT_TRUE(d.device.ReadLine(line, sizeof line, 5000)) << "line " << i;
    EXPECT_LT(Clock::now() - start, 2s) << "line " << i;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(line)).substr(0, 2 + std::to_string(i).size() + 1),
              "@ " + std::to_string(i) + ",");
  }
  instrument.join();
  d.device.Close();
}

TEST(VoziSerial, ReadsOnADeviceNeverStartedAnswerAsAnEmptyRing) {
  VoziSerial device(u"/nonexistent/tty", 1, u"x");
  EXPECT_EQ(device.ReadBuffSize(), 0);
  device.FlushReadBuffer();
  uint8_t buffer[8] = {'#'};
  int32_t count = 8;
  EXPECT_FALSE(device.ReadBuffer(buffer, count, 10));
  EXPECT_FALSE(device.ReadLine(buffer, 8, 10));
  EXPECT_EQ(buffer[0], '#');
}

}  // namespace
