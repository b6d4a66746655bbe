#include "serial/receive_ring.h"

#include "support/receive_ring_access.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

void Put(ReceiveRing& ring, const std::string& text) {
  for (char c : text) ring.PutByte(static_cast<uint8_t>(c));
}

std::string ReadLineText(ReceiveRing& ring, platform::Event& ready, int32_t maximum, bool* result = nullptr) {
  std::string buffer(static_cast<size_t>(std::max(maximum, 1)) + 8, '#');
  bool ok = ring.ReadLine(reinterpret_cast<uint8_t*>(buffer.data()), maximum, 50, ready);
  if (result) *result = ok;
  return ok ? std::string(buffer.c_str()) : std::string("<false>");
}

TEST(ReceiveRing, HoldsAtMost65535BytesAndDropsTheNewest) {
  ReceiveRing ring;
  for (int i = 0; i < 65535; ++i) ASSERT_TRUE(ring.PutByte(static_cast<uint8_t>(i)));
  EXPECT_EQ(ring.Size(), 65535);
  EXPECT_FALSE(ring.PutByte(0xAA));
  EXPECT_EQ(ring.Size(), 65535);
  platform::Event ready;
  uint8_t first[2];
  int32_t count = 2;
  ASSERT_TRUE(ring.ReadBuffer(first, count, 0, ready));
  EXPECT_EQ(first[0], 0);
  EXPECT_EQ(first[1], 1) << "stored bytes are never overwritten";
}

TEST(ReceiveRing, SizeCountsAcrossTheWrap) {
  ReceiveRing ring;
  ReceiveRingTestAccess::SetPositions(ring, 65530, 4);
  EXPECT_EQ(ring.Size(), 10);
  ring.Flush();
  EXPECT_EQ(ring.Size(), 0);
}

TEST(ReceiveRing, PutLineStoresWholeLinesOrNothingAndCountsTheRefused) {
  ReceiveRing ring;
  const std::string filler(65530, 'f');
  ASSERT_TRUE(ring.PutLine(reinterpret_cast<const uint8_t*>(filler.data()), static_cast<int32_t>(filler.size())));
  const std::string line = "@ 1,2,3\n";  // 8 bytes, only 5 free
  EXPECT_FALSE(ring.PutLine(reinterpret_cast<const uint8_t*>(line.data()), 8));
  EXPECT_EQ(ring.Size(), 65530) << "no part of a refused line may enter the ring";
  EXPECT_EQ(ring.DroppedLines(), 1u);
  EXPECT_TRUE(ring.PutLine(reinterpret_cast<const uint8_t*>(line.data()), 5));
  EXPECT_EQ(ring.Size(), 65535);
}

TEST(ReceiveRing, PutLineWrapsAroundTheEnd) {
  ReceiveRing ring;
  ReceiveRingTestAccess::SetPositions(ring, 65533, 65533);
  const std::string line = "@ 12,34\n";
  ASSERT_TRUE(ring.PutLine(reinterpret_cast<const uint8_t*>(line.data()), static_cast<int32_t>(line.size())));
  platform::Event ready;
  EXPECT_EQ(ReadLineText(ring, ready, 64), "@ 12,34");
}

TEST(ReceiveRing, ReadBufferDeliversWhatIsHeldOrTimesOut) {
  ReceiveRing ring;
  platform::Event ready;
  uint8_t out[100];
  int32_t count = 100;
  const auto start = Clock::now();
  EXPECT_FALSE(ring.ReadBuffer(out, count, 60, ready));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(55));
  EXPECT_EQ(count, 100) << "a time-out leaves the count alone";

  Put(ring, std::string(40, 'z'));
  count = 100;
  EXPECT_TRUE(ring.ReadBuffer(out, count, 0, ready));
  EXPECT_EQ(count, 40);
  EXPECT_EQ(ring.Size(), 0);
}

TEST(ReceiveRing, ReadLineComesBackInPiecesAndConsumesTheTerminatorAlone) {
  ReceiveRing ring;
  platform::Event ready;
  Put(ring, "12345\n");
  EXPECT_EQ(ReadLineText(ring, ready, 5), "1234");
  EXPECT_EQ(ReadLineText(ring, ready, 5), "5");
  EXPECT_EQ(ring.Size(), 0);

  Put(ring, "ab\r\n");
  EXPECT_EQ(ReadLineText(ring, ready, 10), "ab");
  EXPECT_EQ(ReadLineText(ring, ready, 10), "") << "CR LF gives an empty line on the next call";
}

TEST(ReceiveRing, ReadLineWithMaximumOneOrLess) {
  ReceiveRing ring;
  platform::Event ready;
  // No room for a single character: nothing can ever be delivered, so the
  // answer is false at once, also before any line is held, and nothing is
  // consumed. (A true with an empty text sends a host's read loop spinning.)
  uint8_t room[1] = {'#'};
  const auto start = Clock::now();
  EXPECT_FALSE(ring.ReadLine(room, 1, 3000, ready));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  Put(ring, "xy\n");
  EXPECT_FALSE(ring.ReadLine(room, 1, 0, ready));
  EXPECT_EQ(ring.Size(), 3) << "maximum 1 consumes nothing";

  uint8_t canary[4] = {'#', '#', '#', '#'};
  EXPECT_FALSE(ring.ReadLine(canary, 0, 0, ready));
  EXPECT_EQ(canary[0], '#') << "maximum 0 must not write the terminator";
  EXPECT_FALSE(ring.ReadLine(canary, -5, 0, ready));
  EXPECT_EQ(canary[0], '#');
}

TEST(ReceiveRing, ReadLineWaitsForATerminatorAndTimesOutWithoutConsuming) {
  ReceiveRing ring;
  platform::Event ready;
  Put(ring, "partial");
  bool ok = true;
  ReadLineText(ring, ready, 64, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ring.Size(), 7);
  std::thread producer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Put(ring, " line\n");
    ready.Set();
  });
  std::string buffer(64, '\0');
  EXPECT_TRUE(ring.ReadLine(reinterpret_cast<uint8_t*>(buffer.data()), 64, 2000, ready));
  producer.join();
  EXPECT_STREQ(buffer.c_str(), "partial line");
}

// One producer and one consumer moving a few million bytes: every byte must
// arrive, in order, exactly once (run under ThreadSanitizer too).
TEST(ReceiveRing, ConcurrentProducerAndConsumerLoseAndReorderNothing) {
  ReceiveRing ring;
  platform::Event ready;
  constexpr uint32_t kBytes = 3'000'000;
  std::thread producer([&] {
    uint32_t sent = 0;
    uint8_t line[97];
    while (sent < kBytes) {
      const int32_t n = static_cast<int32_t>(std::min<uint32_t>(1 + sent % 97, kBytes - sent));
      for (int32_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>((sent + static_cast<uint32_t>(i)) * 31u);
      if (sent % 3 == 0) {
        if (!ring.PutLine(line, n)) continue;
      } else {
        for (int32_t i = 0; i < n; ++i) {
          while (!ring.PutByte(line[i])) std::this_thread::yield();
        }
      }
      sent += static_cast<uint32_t>(n);
      ready.Set();
    }
  });
  uint32_t received = 0;
  uint8_t buffer[4096];
  bool intact = true;
  while (received < kBytes && intact) {
    int32_t count = sizeof buffer;
    if (!ring.ReadBuffer(buffer, count, 1000, ready)) continue;
    for (int32_t i = 0; i < count; ++i) {
      intact = intact && buffer[i] == static_cast<uint8_t>((received + static_cast<uint32_t>(i)) * 31u);
    }
    received += static_cast<uint32_t>(count);
  }
  producer.join();
  EXPECT_TRUE(intact);
  EXPECT_EQ(received, kBytes);
}

}  // namespace
