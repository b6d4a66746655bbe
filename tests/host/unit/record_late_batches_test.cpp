// Batches that reach the recorder after newer ones: placed where they belong
// while the hole they fill is waited for, counted once it was written as a
// gap; a hole that never fills becomes a gap after the wait and no sooner;
// holes the publisher (or the recorder's own reconnection) says are real
// do not wait; a stop waits for an open hole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "record/held_batches.h"
#include "record/stream_recorder.h"

namespace vozihost {
namespace {

using std::chrono::milliseconds;

// Microseconds since 1970 a second ago: a stream that began just now.
int64_t StreamUs() {
  static const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count() -
                            1000000;
  return us;
}

std::string Info() {
  return R"({"format":2,"model":"VZ-8","description":"T","period_us":1000,"started":"2026-12-08T10:00:00.250Z",)"
         R"("started_us":)" +
         std::to_string(StreamUs()) + R"(,"channels":[{"index":1,"name":"Count","units":""}]})";
}

// `count` samples of one channel from `first`, each its own position.
std::string Batch(uint64_t first, uint32_t count) {
  std::string b(32, '\0');
  const auto put = [&](size_t at, uint64_t v, size_t bytes) {
    for (size_t k = 0; k < bytes; ++k) b[at + k] = static_cast<char>(v >> (8 * k));
  };
  put(0, 2, 2);
  put(2, 1, 2);
  put(4, count, 4);
  put(8, first, 8);
  put(24, static_cast<uint64_t>(StreamUs()), 8);
  for (uint64_t p = first; p < first + count; ++p) {
    const float v = static_cast<float>(p);
    char bytes[4];
    std::memcpy(bytes, &v, 4);
    b.append(bytes, 4);
  }
  return b;
}

std::string Event(const std::string& fields, uint64_t position) {
  return R"({"event":)" + fields + R"(,"time":"2026-12-08T10:00:01.000Z","stream":)" + std::to_string(StreamUs()) +
         R"(,"position":)" + std::to_string(position) + "}";
}

struct Step {
  int ms;  // since the first step
  enum What { Samples, Gap, Unpublished, Stop, Reconnect, Tick } what;
  uint64_t first = 0;
  uint32_t count = 0;
  int64_t written = -1;  // after a Tick: samples written by then (-1: not checked)
  bool ended = false;    // after a Tick: whether the stream is over
};

struct Case {
  const char* what;
  std::vector<Step> steps;
  uint64_t samples, gaps, missing, lateBatches, repeated, pastWait;
};

TEST(RecordLateBatches, ALateBatchIsPlacedWhileItsHoleIsWaitedForAndARealGapIsMarked) {
  using S = Step;
  const Case cases[] = {
      {"a late batch within the wait fills its hole, and the batches after the hole wait for it",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {200, S::Samples, 30, 10},
        {1500, S::Tick, 0, 0, 10}, {3000, S::Samples, 10, 10}, {4100, S::Tick, 0, 0, 40}},
       40, 0, 0, 1, 0, 0},
      {"a hole that never fills is a gap once the wait is over, not before",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {4000, S::Tick, 0, 0, 10}, {5200, S::Tick, 0, 0, 20}},
       20, 1, 10, 0, 0, 0},
      {"a batch for a hole already written is counted, not written",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {5200, S::Tick, 0, 0, 20}, {6000, S::Samples, 10, 10},
        {7100, S::Tick, 0, 0, 20}},
       20, 1, 10, 0, 0, 1},
      {"late batches in reverse order all find their places",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 40, 10}, {200, S::Samples, 30, 10}, {300, S::Samples, 20, 10},
        {400, S::Samples, 10, 10}, {1500, S::Tick, 0, 0, 50}},
       50, 0, 0, 3, 0, 0},
      {"a gap of known size the publisher announced does not wait",
       {{0, S::Samples, 0, 10}, {50, S::Gap, 10, 10}, {100, S::Samples, 20, 10}, {1200, S::Tick, 0, 0, 20}},
       20, 1, 10, 0, 0, 0},
      {"batches the publisher could not hand over do not wait",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {150, S::Unpublished, 10}, {1200, S::Tick, 0, 0, 20}},
       20, 1, 10, 0, 0, 0},
      {"what the broker sent while the recorder was away does not wait",
       {{0, S::Samples, 0, 10}, {50, S::Reconnect}, {100, S::Samples, 20, 10}, {1200, S::Tick, 0, 0, 20}},
       20, 1, 10, 0, 0, 0},
      {"a batch sent again is repeated, not late",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 10, 10}, {200, S::Samples, 0, 10}, {1300, S::Tick, 0, 0, 20},
        {1400, S::Samples, 10, 10}},
       20, 0, 0, 0, 2, 0},
      {"a stop while a hole is open waits for the hole to fill",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {200, S::Stop, 30}, {1500, S::Tick, 0, 0, 10},
        {2000, S::Samples, 10, 10}, {3100, S::Tick, 0, 0, 30, true}},
       30, 0, 0, 1, 0, 0},
      {"a stop with a hole that never fills ends the file after the wait",
       {{0, S::Samples, 0, 10}, {100, S::Samples, 20, 10}, {200, S::Stop, 30}, {5000, S::Tick, 0, 0, 10},
        {5200, S::Tick, 0, 0, 20, true}},
       20, 1, 10, 0, 0, 0},
  };
  const auto folder = std::filesystem::temp_directory_path() /
                      ("vozi_late_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    RecordSettings settings;
    settings.folder = folder;
    settings.csv = true;
    settings.edf = false;
    settings.hold = milliseconds(1000);
    settings.lateWait = milliseconds(5000);
    RecordCounters counters;
    std::vector<StreamRecord> done;
    {
      InstrumentRecorder r("7", settings, counters);
      const auto t0 = RecordClock::now();
      r.Info("vozi/7/info", Info(), t0);
      for (const Step& s : c.steps) {
        const auto now = t0 + milliseconds(s.ms);
        switch (s.what) {
          case Step::Samples:
            r.Samples("vozi/7/samples", Batch(s.first, s.count), now);
            break;
          case Step::Gap:  // `count` lost from `first` on
            r.Event("vozi/7/events", Event(R"("gap","count":)" + std::to_string(s.count), s.first + s.count), now);
            break;
          case Step::Unpublished:
            r.Event("vozi/7/events", Event(R"("unpublished","count":1)", s.first), now);
            break;
          case Step::Stop:
            r.Event("vozi/7/events", Event(R"("stop","reason":"limit")", s.first), now);
            break;
          case Step::Reconnect:
            r.Reconnected();
            break;
          case Step::Tick: {
            r.Tick(now);
            for (StreamRecord& f : r.TakeFinished()) done.push_back(std::move(f));
            const StreamRecord* w = r.Writing();
            const uint64_t written = w ? w->samples : done.empty() ? 0 : done.back().samples;
            EXPECT_EQ(written, static_cast<uint64_t>(s.written)) << c.what << ", at " << s.ms << " ms";
            EXPECT_EQ(!done.empty(), s.ended) << c.what << ", at " << s.ms << " ms";
            break;
          }
        }
      }
      r.Finish("the recording ended");
      for (StreamRecord& f : r.TakeFinished()) done.push_back(std::move(f));
    }
    ASSERT_EQ(done.size(), 1u) << c.what;
    const StreamRecord& s = done[0];
    EXPECT_EQ(s.samples, c.samples) << c.what;
    EXPECT_EQ(s.gaps, c.gaps) << c.what;
    EXPECT_EQ(s.missing, c.missing) << c.what;
    EXPECT_EQ(s.lateBatches, c.lateBatches) << c.what;
    EXPECT_EQ(counters.repeated, c.repeated) << c.what;
    EXPECT_EQ(counters.pastWait, c.pastWait) << c.what;
    EXPECT_EQ(counters.refused + counters.malformed, 0u) << c.what << ": " << counters.lastMalformed;
    // The file's rows are the positions written, each once, in order, each
    // at its own time (the value is the position).
    std::ifstream csv(s.files.at(0).second);
    std::string line;
    std::vector<long> positions;
    bool header = true;
    while (std::getline(csv, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (header) {
        header = false;
        continue;
      }
      const size_t comma = line.find(',');
      const long position = std::stol(line.substr(comma + 1));
      EXPECT_NEAR(std::stod(line.substr(0, comma)), position * 0.001, 1e-9) << c.what << ": " << line;
      positions.push_back(position);
    }
    EXPECT_EQ(positions.size(), s.samples) << c.what;
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()) &&
                std::adjacent_find(positions.begin(), positions.end()) == positions.end())
        << c.what;
  }
  std::filesystem::remove_all(folder);
}

// Held batches cost memory: beyond the bound the oldest go out at once,
// hole or not, so a hole cannot make the recorder grow without end.
TEST(RecordLateBatches, BeyondTheMemoryBoundTheOldestAreWrittenAtOnce) {
  HeldBatches held(milliseconds(1000), milliseconds(30000), 250);
  const auto t0 = RecordClock::now();
  const auto batch = [&](uint64_t first, int ms) {
    HeldBatch h;
    h.batch.first = first;
    h.batch.count = 10;
    h.arrived = t0 + milliseconds(ms);
    h.bytes = 100;
    return h;
  };
  held.Hold(batch(0, 0));
  ASSERT_TRUE(held.TakeDue(t0 + milliseconds(1000), false));
  held.Hold(batch(20, 0));  // a hole of 10 before it
  held.Hold(batch(30, 500));
  EXPECT_TRUE(held.HoleOpen());
  EXPECT_FALSE(held.TakeDue(t0 + milliseconds(1000), false)) << "within the bound, the hole is waited for";
  held.Hold(batch(40, 500));  // 300 bytes: over
  const auto out = held.TakeDue(t0 + milliseconds(1000), false);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->batch.first, 20u);
  EXPECT_EQ(held.Bytes(), 200u);
  EXPECT_FALSE(held.TakeDue(t0 + milliseconds(1000), false)) << "back within the bound, the rest wait their hold";
  EXPECT_FALSE(held.HoleOpen());
  EXPECT_EQ(held.Place(batch(10, 1000).batch, 50), HeldBatches::Fit::PastWait);
  EXPECT_EQ(held.Place(batch(30, 1000).batch, 50), HeldBatches::Fit::Repeated);
}

}  // namespace
}  // namespace vozihost
