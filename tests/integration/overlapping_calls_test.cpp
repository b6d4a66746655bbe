// Calls that overlap, although a host should make them one at a time. None
// may crash, corrupt memory or race: under AddressSanitizer and
// ThreadSanitizer each of these showed as a report (a use after free, a race
// on the table, a use after free in the reader's thread object).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "simulated_instruments.h"

namespace {

using namespace std::chrono_literals;

class OverlappingCalls : public SimulatedInstrumentsTest {
 protected:
  bool Stream(int32_t index) {
    CommandRecord record{};
    record.argument = 5;
    return lib.DeviceCommand(index, VOZI_ENABLE_CHANNEL, &record) == 1 &&
           lib.DeviceCommand(index, VOZI_START_STREAM, &record) == 1;
  }
};

TEST_F(OverlappingCalls, ReadsDuringCloseAllOrFindDeviceAndTwoStartsAtOnceAreSafe) {
  auto& sim = AddInstrument("ZOR11111");
  AddInstrument("ZOR22222");

  {
    SCOPED_TRACE("ReadLine in a host's read loop while CloseAll destroys its device");
    ASSERT_EQ(Find(), 0);
    ASSERT_EQ(lib.Initialise(0), 1);
    ASSERT_TRUE(Stream(0));
    std::atomic<int> lines{0};
    std::thread reader([&] {
      char line[64];
      while (lib.ReadLine(0, line, sizeof line, 500) == 1) ++lines;
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (lines == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const size_t frames = sim.Frames().Count();
    EXPECT_EQ(lib.CloseAll(), 1);
    EXPECT_TRUE(sim.Frames().WaitFor("X", 1s, frames).has_value()) << "closed at once, not after the read";
    reader.join();
    EXPECT_GT(lines.load(), 0);
    EXPECT_EQ(lib.IsFailed(0), 1) << "the table is empty";
  }
  {
    SCOPED_TRACE("reads of a streaming device while FindDevice grows the table");
    ASSERT_EQ(Find(), 0);
    ASSERT_EQ(lib.Initialise(0), 1);
    ASSERT_TRUE(Stream(0));
    std::atomic<bool> finding{true};
    std::atomic<int> lines{0};
    std::thread reader([&] {
      char line[64];
      while (finding) {
        if (lib.ReadLine(0, line, sizeof line, 100) == 1) ++lines;
        lib.ReadBuffSize(0);
        lib.IsFailed(0);
      }
    });
    // The reads must overlap the walk: it goes on until the reader has got a
    // line, however long the first one takes to come (at most the stream's
    // own start-up bound), and for at least 40 passes.
    int32_t appended = 0, last = -1;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    for (int n = 0; n < 40 || (lines == 0 && std::chrono::steady_clock::now() < deadline); ++n) {
      appended += lib.FindDevice(&last);
    }
    finding = false;
    reader.join();
    EXPECT_GT(lines.load(), 0);
    EXPECT_GE(appended, 20) << "two instruments, found again on every pass";
    EXPECT_EQ(last, appended) << "each found device appended after the first";
    lib.CloseAll();
  }
  {
    SCOPED_TRACE("two Initialise calls at once on one device");
    for (int round = 0; round < 3; ++round) {
      ASSERT_EQ(Find(), 0);
      std::atomic<int32_t> first{-1}, second{-1};
      std::thread a([&] { first = lib.Initialise(0); });
      std::thread b([&] { second = lib.Initialise(0); });
      a.join();
      b.join();
      EXPECT_EQ(first.load(), 1);
      EXPECT_EQ(second.load(), 1);
      EXPECT_EQ(lib.IsFailed(0), 0);
      ASSERT_TRUE(Stream(0));
      char line[64];
      EXPECT_EQ(lib.ReadLine(0, line, sizeof line, 2000), 1);
      lib.CloseAll();
    }
  }
}

// A read waiting on a silent device must not outlive the device's closing by
// its own time-out: the host's read thread would hang on for 30 s, for ever
// with an infinite time-out, after the host had closed everything.
TEST_F(OverlappingCalls, CloseAllEndsAReadWaitingOnASilentDevice) {
  AddInstrument("ZOR11111");
  ASSERT_EQ(Find(), 0);
  ASSERT_EQ(lib.Initialise(0), 1);  // started, never streaming: no line comes
  std::atomic<int32_t> result{-1};
  std::atomic<bool> returned{false};
  std::thread reader([&] {
    char line[64];
    result = lib.ReadLine(0, line, sizeof line, 30000);
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_FALSE(returned.load()) << "the read should still be waiting";
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(lib.CloseAll(), 1);
  while (!returned && std::chrono::steady_clock::now() - closed < 5s) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(returned.load()) << "the read still waits after CloseAll";
  reader.join();
  EXPECT_EQ(result.load(), 0);
}

// CloseAll while an Initialise waits for a silent instrument: the start-up
// gives up at once, instead of holding CloseAll (and a host that is closing
// down) for the rest of its 16 s.
TEST_F(OverlappingCalls, CloseAllCutsShortTheStartUpOfASilentInstrument) {
  vozisim::SimConfig silent;
  silent.silent = true;
  auto& sim = AddInstrument("ZOR11111", silent);
  ASSERT_EQ(Find(), 0);
  std::atomic<int32_t> started{-1};
  std::thread host([&] { started = lib.Initialise(0); });
  // The start-up is under way once its greeting reaches the instrument.
  EXPECT_TRUE(sim.Frames().WaitFor("S", 5s).has_value());
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_EQ(lib.CloseAll(), 1);
  const auto took = std::chrono::steady_clock::now() - closing;
  host.join();
  EXPECT_LT(took, 8s) << "CloseAll waited for the start-up to run out";
  EXPECT_EQ(started.load(), 0);
}

}  // namespace
