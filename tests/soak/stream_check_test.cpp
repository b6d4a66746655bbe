// The soak's own instruments must be right, or a passing soak means nothing:
// the line oracle against the simulator's ExpectedDecoded, and the thread
// census against threads whose life and CPU use are known.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "stream_check.h"
#include "thread_census.h"

namespace soak {
namespace {

using namespace std::chrono_literals;

const std::vector<size_t> kFields = {1, 2, 3, 4, 5};

// The host's line for sample n, built from the simulator's reference oracle.
std::string HostLine(const vozisim::SimConfig& cfg, uint64_t n) {
  std::string line = "@ ";
  for (size_t i = 0; i < kFields.size(); ++i) {
    line += (i ? "," : "") + std::to_string(vozisim::ExpectedDecoded(cfg, kFields[i], n).value());
  }
  return line;
}

TEST(StreamCheck, AcceptsTheSimulatorsLinesAndCountsTheSamplesSkipped) {
  vozisim::SimConfig cfg;
  StreamCheck check(cfg, kFields, 5);
  for (uint64_t n : {0, 1, 2, 4, 5, 8, 9}) EXPECT_TRUE(check.Take(HostLine(cfg, n))) << check.FirstProblem();
  EXPECT_EQ(check.Lines(), 7u);
  EXPECT_EQ(check.Lost(), 3u);
  EXPECT_EQ(check.Bad(), 0u);
  EXPECT_EQ(check.LastSample(), 9u);
}

TEST(StreamCheck, LinesLostBeforeTheFirstCountAndTheCounterWraps) {
  vozisim::SimConfig cfg;
  StreamCheck check(cfg, kFields, 5);
  EXPECT_TRUE(check.Take(HostLine(cfg, 32766)));
  EXPECT_EQ(check.Lost(), 32766u) << "the stream starts at sample 0";
  EXPECT_TRUE(check.Take(HostLine(cfg, 32767)));
  EXPECT_TRUE(check.Take(HostLine(cfg, 32768))) << "counter back at 0";
  EXPECT_TRUE(check.Take(HostLine(cfg, 32770)));
  EXPECT_EQ(check.Lost(), 32767u);
  EXPECT_EQ(check.LastSample(), 32770u);
}

TEST(StreamCheck, MissingValuesAreZero) {
  vozisim::SimConfig cfg;
  cfg.missingChannel = 2;
  cfg.missingEvery = 4;
  StreamCheck check(cfg, kFields, 5);
  EXPECT_EQ(check.Expected(3)[1], 0);
  EXPECT_NE(check.Expected(2)[1], 0);
  for (uint64_t n = 0; n < 8; ++n) EXPECT_TRUE(check.Take(HostLine(cfg, n))) << check.FirstProblem();
}

TEST(StreamCheck, RejectsTornMalformedAndWrongLines) {
  vozisim::SimConfig cfg;
  const std::string good = HostLine(cfg, 0);
  std::string wrongValue = HostLine(cfg, 0);
  wrongValue[2] = wrongValue[2] == '9' ? '1' : static_cast<char>(wrongValue[2] + 1);
  const std::string bad[] = {
      good.substr(0, good.size() - 2),  // a piece of a line
      "@ ",
      good.substr(2),                   // no prefix
      good + ",0",                      // a value too many
      good + ",",
      "@ -1" + good.substr(good.find(',')),
      "@ 40000" + good.substr(good.find(',')),
      "@  " + good.substr(2),
      wrongValue,
  };
  for (const std::string& line : bad) {
    StreamCheck check(cfg, kFields, 5);
    EXPECT_FALSE(check.Take(line)) << line;
    EXPECT_EQ(check.Bad(), 1u);
    EXPECT_FALSE(check.FirstProblem().empty());
    EXPECT_FALSE(check.LastSample().has_value()) << "a bad line stands for no sample";
    EXPECT_TRUE(check.Take(good)) << "the next good line is still sample 0";
    EXPECT_EQ(check.Lost(), 0u);
  }
}

TEST(ThreadCensus, SeesAThreadComeAndGoAndMeasuresItsCpu) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<pid_t> tid{0};
  std::atomic<bool> spin{true};
  const auto before = Threads();
  std::thread worker([&] {
    tid.store(static_cast<pid_t>(gettid()));
    while (spin.load()) {
    }
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return release; });
  });
  while (tid.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(Threads().count(tid.load()));
  EXPECT_FALSE(before.count(tid.load()));

  // On a busy machine the spinning thread gets the CPU when it gets it: wait
  // for its time to grow, and for it to reach its wait, not for a window.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  const auto cpu0 = ThreadCpuSeconds(tid.load());
  auto cpu1 = cpu0;
  while (cpu1 && *cpu1 - *cpu0 <= 0.02 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    cpu1 = ThreadCpuSeconds(tid.load());
  }
  ASSERT_TRUE(cpu0 && cpu1);
  EXPECT_GT(*cpu1 - *cpu0, 0.02) << "a spinning thread uses CPU";

  spin.store(false);
  while (ThreadState(tid.load()) != 'S' && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(ThreadState(tid.load()), 'S') << "a thread blocked on a condition sleeps";
  const auto cpu2 = ThreadCpuSeconds(tid.load());
  std::this_thread::sleep_for(100ms);
  EXPECT_LT(*ThreadCpuSeconds(tid.load()) - *cpu2, 0.005) << "and uses none";

  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_one();
  worker.join();
  EXPECT_FALSE(Threads().count(tid.load()));
  EXPECT_FALSE(ThreadCpuSeconds(tid.load()).has_value());
  EXPECT_FALSE(ThreadState(tid.load()).has_value());
}

}  // namespace
}  // namespace soak
