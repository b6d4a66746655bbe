// Win32 threads: the reader thread's start, priority and bounded join.
#include "platform/thread.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"
#include "support/serial_peer.h"

namespace {

using platform::Thread;

struct Probe {
  std::atomic<uint64_t> threadId{0};
  std::atomic<int> priority{-100};
  std::atomic<bool> finished{false};
  platform::Event release;
  uint32_t holdMs = 0;
};

uint32_t ProbeEntry(void* argument) {
  auto* probe = static_cast<Probe*>(argument);
  probe->threadId = platform::CurrentThreadId();
  if (probe->holdMs > 0) probe->release.Wait(probe->holdMs);
  probe->priority = GetThreadPriority(GetCurrentThread());
  probe->finished = true;
  return 7;
}

TEST(ThreadTest, RunsTheEntryWithItsArgumentOnAnotherThread) {
  Probe probe;
  Thread thread;
  EXPECT_FALSE(thread.Started());
  ASSERT_TRUE(thread.Start(ProbeEntry, &probe));
  EXPECT_TRUE(thread.Started());
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_TRUE(probe.finished);
  EXPECT_NE(probe.threadId.load(), 0u);
  EXPECT_NE(probe.threadId.load(), platform::CurrentThreadId());
}

TEST(ThreadTest, JoinIsBoundedWhileTheThreadRuns) {
  Probe probe;
  probe.holdMs = 10000;
  Thread thread;
  ASSERT_TRUE(thread.Start(ProbeEntry, &probe));
  const uint64_t start = wintest::NowMs();
  EXPECT_FALSE(thread.Join(50));
  const uint64_t took = wintest::NowMs() - start;
  EXPECT_GE(took, 40u);
  EXPECT_LT(took, 1000u);
  probe.release.Set();
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_TRUE(thread.Join(0)) << "a joined thread stays joined";
}

TEST(ThreadTest, RaisedPriorityIsAboveNormal) {
  Probe probe;
  probe.holdMs = 10000;
  Thread thread;
  ASSERT_TRUE(thread.Start(ProbeEntry, &probe));
  thread.RaisePriority();
  probe.release.Set();
  ASSERT_TRUE(thread.Join(5000));
  EXPECT_EQ(probe.priority.load(), THREAD_PRIORITY_ABOVE_NORMAL);
}

TEST(ThreadTest, OneThreadPerObject) {
  Probe probe;
  Thread thread;
  ASSERT_TRUE(thread.Start(ProbeEntry, &probe));
  Probe other;
  EXPECT_FALSE(thread.Start(ProbeEntry, &other));
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_EQ(other.threadId.load(), 0u);
}

// Destroying an unjoined thread object waits for the thread: its argument
// (here on this stack) must outlive it.
TEST(ThreadTest, DestructorWaitsForTheThread) {
  Probe probe;
  probe.holdMs = 60;
  {
    Thread thread;
    ASSERT_TRUE(thread.Start(ProbeEntry, &probe));
  }
  EXPECT_TRUE(probe.finished);
}

}  // namespace
