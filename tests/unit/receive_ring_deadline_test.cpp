// The host's read timeout bounds the whole read. The reader thread signals
// after every read step, also when nothing whole reached the ring (noise,
// lines in pieces, data lines ignored while a stop goes unanswered); a read
// that restarted its full wait on each of those signals never returned while
// the instrument kept talking.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "serial/receive_ring.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Signals `ready` every 5 ms, optionally storing a byte that ends no line,
// until stopped (or for 3 s, so that a read without a deadline fails the test
// instead of hanging it): a chatty instrument whose lines never reach the host.
class Chatter {
 public:
  Chatter(ReceiveRing& ring, platform::Event& ready, bool withBytes)
      : thread_([this, &ring, &ready, withBytes] {
          const auto end = Clock::now() + 3s;
          while (!stop_.load() && Clock::now() < end) {
            if (withBytes) ring.PutByte('x');
            ready.Set();
            std::this_thread::sleep_for(5ms);
          }
        }) {}
  ~Chatter() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

constexpr uint32_t kTimeoutMs = 100;
constexpr auto kBound = 600ms;  // the timeout plus room for a loaded machine

TEST(ReceiveRingDeadline, ReadLineGivesUpAtItsTimeoutWhileSignalsBringNoLine) {
  for (bool withBytes : {false, true}) {
    SCOPED_TRACE(withBytes ? "bytes without a line end" : "signals without bytes");
    ReceiveRing ring;
    platform::Event ready;
    Chatter chatter(ring, ready, withBytes);
    uint8_t line[64];
    const auto start = Clock::now();
    EXPECT_FALSE(ring.ReadLine(line, sizeof line, kTimeoutMs, ready));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(kTimeoutMs - 5));
    EXPECT_LT(took, kBound);
  }
}

TEST(ReceiveRingDeadline, ReadBufferGivesUpAtItsTimeoutWhileSignalsBringNoByte) {
  ReceiveRing ring;
  platform::Event ready;
  Chatter chatter(ring, ready, false);
  uint8_t out[64];
  int32_t count = sizeof out;
  const auto start = Clock::now();
  EXPECT_FALSE(ring.ReadBuffer(out, count, kTimeoutMs, ready));
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_EQ(count, static_cast<int32_t>(sizeof out));
}

TEST(ReceiveRingDeadline, ALineThatCompletesWithinTheTimeoutIsStillDelivered) {
  ReceiveRing ring;
  platform::Event ready;
  std::thread producer([&] {
    for (char c : std::string("a,b")) {
      ring.PutByte(static_cast<uint8_t>(c));
      ready.Set();
      std::this_thread::sleep_for(10ms);
    }
    ring.PutByte('\n');
    ready.Set();
  });
  uint8_t line[64];
  EXPECT_TRUE(ring.ReadLine(line, sizeof line, 2000, ready));
  producer.join();
  EXPECT_STREQ(reinterpret_cast<char*>(line), "a,b");
}

}  // namespace
