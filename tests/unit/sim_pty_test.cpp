// The simulated instrument seen through its pseudo-terminal, as a host sees
// it: frames written to the slave, answer and data lines read back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vozi_sim/instrument.h"

namespace vozisim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// The host's end of the line: the slave opened for exclusive use, raw.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    ioctl(fd_, TIOCEXCL);
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~HostPort() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Ok() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void Frame(const std::string& command) { Send(":" + command + "\n"); }

  // Reads whatever arrives within `d`, or until the port fails.
  std::string ReadFor(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    while (Clock::now() < end && ReadSome(end)) {
    }
    std::string out = std::move(pending_);
    pending_.clear();
    return out;
  }

  // Collects n lines ended by CR LF (returned without it), waiting at most
  // `timeout` in all.
  Lines ReadLines(size_t n, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    Lines lines;
    while (lines.size() < n) {
      const size_t eol = pending_.find("\r\n");
      if (eol != std::string::npos) {
        lines.push_back(pending_.substr(0, eol));
        pending_.erase(0, eol + 2);
        continue;
      }
      if (!ReadSome(end)) break;
    }
    return lines;
  }

  // Waits for input once; false on time-out, hang-up or error.
  bool ReadSome(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      hungUp_ = true;
      return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
    return true;
  }
  bool HungUp() const { return hungUp_; }

 private:
  int fd_ = -1;
  std::string pending_;
  bool hungUp_ = false;
};

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 1s) {
  for (const auto end = Clock::now() + timeout; !pred(); std::this_thread::sleep_for(1ms)) {
    if (Clock::now() > end) return false;
  }
  return true;
}

class SimPty : public ::testing::Test {
 protected:
  // Starts the instrument and opens its slave as a host.
  void Begin() {
    sim = std::make_unique<Instrument>(cfg);
    ASSERT_TRUE(sim->Start()) << sim->LastError();
    host = std::make_unique<HostPort>(sim->SlavePath());
    ASSERT_TRUE(host->Ok());
  }
  // Sends B and reads its answer.
  void StartStream() {
    host->Frame("B");
    ASSERT_EQ(host->ReadLines(1, 1s), Lines{"B"});
  }
  SimConfig cfg;
  std::unique_ptr<Instrument> sim;
  std::unique_ptr<HostPort> host;
};

TEST_F(SimPty, HandshakeAnswersAndRecordsFramesInOrder) {
  Begin();
  for (const char* c : {"S", "S", "V", "F", "U111111", "I"}) host->Frame(c);
  EXPECT_EQ(host->ReadLines(12, 2s),
            (Lines{"S", "S", "V,1,1,0,1,VZ-8", "F", "T,A,A,A,A,A",
                   "EndOfCycle,0.001,0.002,0.005,0.01,0.1,1", "U", "I",
                   "Time,ECG,Pulse,Temp,Ramp,Counter", "s,mV,bpm,degC,V,count",
                   "na,5,250,45,10,32767", "na,-5,0,20,0,0"}));
  ASSERT_TRUE(sim->Frames().WaitForCount(6, 1s));
  EXPECT_EQ(sim->Frames().Texts(), (Lines{"S", "S", "V", "F", "U111111", "I"}));
  EXPECT_EQ(sim->Frames().Frames()[4].raw, ":U111111\n");
  // The count follows the write, so the host may read the bytes first.
  EXPECT_TRUE(WaitUntil([&] { return sim->LinesSent() == 12; }));
  EXPECT_EQ(sim->DataLinesSent(), 0u);
}

TEST_F(SimPty, ToleratesCrJunkAndFramesInPieces) {
  Begin();
  host->Send("\x01junk:S\r\n:V");
  EXPECT_EQ(host->ReadLines(1, 1s), Lines{"S"});
  host->Send("\n");
  EXPECT_EQ(host->ReadLines(1, 1s), Lines{"V,1,1,0,1,VZ-8"});
  ASSERT_TRUE(sim->Frames().WaitForCount(2, 1s));
  EXPECT_EQ(sim->Frames().Frames()[0].raw, ":S\r\n");
  EXPECT_EQ(sim->Frames().Frames()[1].raw, ":V\n");
  EXPECT_FALSE(sim->Frames().WaitFor("X", 10ms));
}

TEST_F(SimPty, StreamEqualsDataLineUntilStopped) {
  cfg.periods = "0.001,0.0001";
  Begin();
  host->Frame("P2");  // 100 us
  ASSERT_TRUE(sim->Frames().WaitFor("P2", 1s));
  StartStream();
  const Lines data = host->ReadLines(400, 3s);
  ASSERT_EQ(data.size(), 400u);
  for (uint64_t n = 0; n < data.size(); ++n) ASSERT_EQ(data[n], DataLine(cfg, n, 100)) << n;

  host->Frame("S");
  // Every line up to the answer continues the sequence; nothing follows it.
  uint64_t n = data.size();
  for (;;) {
    Lines next = host->ReadLines(1, 1s);
    ASSERT_EQ(next.size(), 1u);
    if (next[0] == "S") break;
    ASSERT_EQ(next[0], DataLine(cfg, n++, 100));
  }
  EXPECT_EQ(host->ReadFor(30ms), "");
  EXPECT_FALSE(sim->Streaming());
}

// 200 ms of lines at each period: they cannot all have come before their
// last one was due (the clock starts before B is sent, so a loaded machine
// only makes them later), nor take twice as long plus a scheduling allowance
// (the instrument catches up after a pause); an instrument left at another
// of its periods would be ten times off. Each line's time is n periods.
TEST_F(SimPty, SelectedPeriodSetsTheRate) {
  cfg.periods = "0.001,0.0001,0.01";
  Begin();
  for (auto [position, periodUs] : {std::pair{1, 1000}, {2, 100}, {3, 10000}}) {
    host->Frame("P" + std::to_string(position));
    const size_t count = 200000 / periodUs;
    const std::chrono::microseconds period(periodUs);
    const auto begin = Clock::now();
    StartStream();
    const Lines data = host->ReadLines(count, 5s);
    const auto took = Clock::now() - begin;
    ASSERT_EQ(data.size(), count) << periodUs;
    EXPECT_EQ(data.back(), DataLine(cfg, count - 1, periodUs));
    EXPECT_GE(took, period * (count - 1)) << periodUs;
    EXPECT_LT(took, 2 * period * count + 100ms) << periodUs;
    EXPECT_EQ(sim->PeriodMicros(), periodUs);
    host->Frame("S");
    for (Lines next; (next = host->ReadLines(1, 1s)) != Lines{"S"};) ASSERT_EQ(next.size(), 1u) << "no answer to S";
  }
}

TEST_F(SimPty, XStopsTheStreamWithoutAnswer) {
  Begin();
  StartStream();
  host->Frame("X");
  ASSERT_TRUE(sim->Frames().WaitFor("X", 1s));
  const std::string tail = host->ReadFor(30ms);
  // Whatever was on its way is data, and then the line stays quiet.
  EXPECT_EQ(tail.find("X"), std::string::npos);
  EXPECT_EQ(host->ReadFor(50ms), "");
  EXPECT_TRUE(sim->XReceived());
  EXPECT_FALSE(sim->Streaming());
}

TEST_F(SimPty, SilentInstrumentAnswersNothingButRecordsFrames) {
  cfg.silent = true;
  Begin();
  host->Frame("S");
  host->Frame("V");
  EXPECT_TRUE(sim->Frames().WaitForCount(2, 1s));
  EXPECT_EQ(host->ReadFor(50ms), "");
}

TEST_F(SimPty, NoStopAckKeepsStreaming) {
  cfg.noStopAck = true;
  Begin();
  StartStream();
  host->Frame("S");
  ASSERT_TRUE(sim->Frames().WaitFor("S", 1s));
  host->ReadFor(10ms);
  const std::string later = host->ReadFor(50ms);
  EXPECT_GT(later.size(), 100u);
  EXPECT_EQ(later.find("\r\nS\r\n"), std::string::npos);
  EXPECT_TRUE(sim->Streaming());
}

TEST_F(SimPty, SplitWritesArriveByteByByte) {
  cfg.splitWrites = true;
  cfg.splitGapUs = 30000;
  Begin();
  host->Frame("S");
  // The first byte comes alone; the line end follows only after the pauses.
  EXPECT_EQ(host->ReadFor(15ms), "S");
  EXPECT_EQ(host->ReadLines(1, 1s), Lines{""});  // the rest: CR LF
}

TEST_F(SimPty, LongLineOnceAfterKDataLines) {
  cfg.longLineEvery = 5;
  cfg.longLineOnce = true;
  cfg.longLineLength = 9000;
  Begin();
  StartStream();
  const Lines lines = host->ReadLines(16, 2s);
  ASSERT_EQ(lines.size(), 16u);
  for (uint64_t n = 0; n < 5; ++n) EXPECT_EQ(lines[n], DataLine(cfg, n));
  EXPECT_EQ(lines[5].size(), 9000u);
  EXPECT_EQ(lines[5].substr(0, 4), "0,0,");
  for (uint64_t n = 5; n < 15; ++n) EXPECT_EQ(lines[n + 1], DataLine(cfg, n)) << n;
}

TEST_F(SimPty, HangUpAfterNDataLines) {
  cfg.hangUpAfter = 3;
  Begin();
  StartStream();
  EXPECT_EQ(host->ReadLines(3, 1s), (Lines{DataLine(cfg, 0), DataLine(cfg, 1), DataLine(cfg, 2)}));
  EXPECT_EQ(host->ReadFor(500ms), "");
  EXPECT_TRUE(host->HungUp());
  EXPECT_TRUE(sim->HungUp());
  EXPECT_FALSE(sim->Running());
  EXPECT_TRUE(WaitUntil([&] { return sim->DataLinesSent() == 3; }));
  EXPECT_NE(access(sim->SlavePath().c_str(), F_OK), 0);
}

TEST_F(SimPty, HangUpOnRequest) {
  Begin();
  sim->HangUp();
  pollfd p{host->Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  EXPECT_FALSE(sim->Running());
  sim->Stop();  // after a hang-up, and twice
  sim->Stop();
}

TEST_F(SimPty, BurstOutrunsThePeriod) {
  cfg.burst = true;
  Begin();
  host->Frame("P6");  // 1 s: paced, this would be one line
  StartStream();
  const Lines lines = host->ReadLines(2000, 2s);
  ASSERT_EQ(lines.size(), 2000u);
  EXPECT_EQ(lines[1999], DataLine(cfg, 1999, 1000000));
}

TEST_F(SimPty, ExclusiveUseEndsWithTheHostsDescriptor) {
  Begin();
  host->Frame("S");
  host->ReadLines(1, 1s);
  host->Close();  // it had set TIOCEXCL
  // The flag outlives the descriptor unless the instrument clears it, and
  // then no unprivileged host could open the port again. Root opens anyway,
  // so look at the flag itself.
  int flag = -1;
  for (auto end = Clock::now() + 1s; flag != 0 && Clock::now() < end;) {
    std::this_thread::sleep_for(5ms);
    const int fd = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) continue;
    ioctl(fd, TIOCGEXCL, &flag);
    ::close(fd);
  }
  EXPECT_EQ(flag, 0);
}

TEST_F(SimPty, NoStaleLinesForTheNextHost) {
  Begin();
  StartStream();
  host->ReadLines(5, 1s);
  host->Close();  // gone without stopping the stream
  std::this_thread::sleep_for(100ms);
  EXPECT_GT(sim->DataLinesDropped(), 50u);
  HostPort next(sim->SlavePath());
  ASSERT_TRUE(next.Ok());
  next.Frame("S");
  // Only the few lines sent since the new open may come before the answer,
  // not the hundred the instrument streamed while nobody listened.
  Lines before;
  for (Lines l; (l = next.ReadLines(1, 1s)).size() == 1 && l[0] != "S";) before.push_back(l[0]);
  EXPECT_LT(before.size(), 20u);
  EXPECT_TRUE(sim->Running());
}

TEST_F(SimPty, RestartGivesAFreshTerminal) {
  Begin();
  host.reset();
  ASSERT_TRUE(sim->Start());
  HostPort again(sim->SlavePath());
  ASSERT_TRUE(again.Ok());
  again.Frame("V");
  EXPECT_EQ(again.ReadLines(1, 1s), Lines{"V,1,1,0,1,VZ-8"});
  EXPECT_EQ(sim->Frames().Texts(), Lines{"V"});
}

}  // namespace
}  // namespace vozisim
