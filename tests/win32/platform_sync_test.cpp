// Win32 events: auto-reset semantics and bounded waits are what the reader
// thread's stop handling and the host's read waits are built on.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/serial_peer.h"

namespace {

using platform::Event;
using platform::WaitResult;
using wintest::NowMs;

TEST(EventTest, SignalIsConsumedByOneWait) {
  Event event;
  ASSERT_TRUE(event.Valid());
  event.Set();  // set before anyone waits: not lost
  EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
  EXPECT_EQ(event.Wait(0), WaitResult::TimedOut) << "a manual-reset event would stay signalled";
}

TEST(EventTest, ResetDropsAPendingSignal) {
  Event event;
  event.Set();
  event.Reset();
  EXPECT_EQ(event.Wait(0), WaitResult::TimedOut);
}

TEST(EventTest, WaitTimesOutAfterItsBound) {
  Event event;
  const uint64_t start = NowMs();
  EXPECT_EQ(event.Wait(40), WaitResult::TimedOut);
  const uint64_t took = NowMs() - start;
  EXPECT_GE(took, 30u);
  EXPECT_LT(took, 500u);
}

TEST(EventTest, SetFromAnotherThreadWakesTheWaiter) {
  Event event;
  std::thread setter([&] {
    platform::SleepMs(20);
    event.Set();
  });
  const uint64_t start = NowMs();
  EXPECT_EQ(event.Wait(5000), WaitResult::Signalled);
  EXPECT_LT(NowMs() - start, 1000u);
  setter.join();
}

TEST(WaitAnyTest, ReportsWhichEventAndConsumesOnlyThatOne) {
  Event first, second;
  second.Set();
  EXPECT_EQ(platform::WaitAny(first, second, 0), 1);
  EXPECT_EQ(platform::WaitAny(first, second, 0), -1);
  first.Set();
  EXPECT_EQ(platform::WaitAny(first, second, 0), 0);
  // Both signalled: the first is reported, the second keeps its signal.
  first.Set();
  second.Set();
  EXPECT_EQ(platform::WaitAny(first, second, 0), 0);
  EXPECT_EQ(second.Wait(0), WaitResult::Signalled);
}

TEST(WaitAnyTest, TimesOutAfterItsBound) {
  Event first, second;
  const uint64_t start = NowMs();
  EXPECT_EQ(platform::WaitAny(first, second, 30), -1);
  const uint64_t took = NowMs() - start;
  EXPECT_GE(took, 20u);
  EXPECT_LT(took, 500u);
}

}  // namespace
