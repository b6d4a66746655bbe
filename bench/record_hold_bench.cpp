// What batches held behind a hole cost the recorder: an instrument of 16
// channels at 1 kHz (batches of 50 samples, 20 a second) whose second batch
// is missing, fed for --seconds of its time (the recorder's clock is given,
// so the run takes a moment), while the recorder waits for the hole to fill.
// Prints the heap the held batches take per second of hold (glibc's own
// count of bytes in use), and their messages' bytes, which the bound counts.
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "record/stream_recorder.h"

using namespace vozihost;

namespace {

constexpr int kChannels = 16;
constexpr uint32_t kBatch = 50;

size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

std::string Batch(uint64_t first, int64_t streamUs) {
  std::string b(32, '\0');
  const auto put = [&](size_t at, uint64_t v, size_t bytes) {
    for (size_t k = 0; k < bytes; ++k) b[at + k] = static_cast<char>(v >> (8 * k));
  };
  put(0, 2, 2);
  put(2, kChannels, 2);
  put(4, kBatch, 4);
  put(8, first, 8);
  put(24, static_cast<uint64_t>(streamUs), 8);
  b.resize(32 + 4 * kBatch * kChannels, '\0');
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 30;
  for (int k = 1; k + 1 < argc; ++k) {
    if (std::strcmp(argv[k], "--seconds") == 0) seconds = std::atoi(argv[k + 1]);
  }
  const auto folder = std::filesystem::temp_directory_path() / ("record_hold_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  RecordSettings settings;
  settings.folder = folder;
  settings.csv = true;
  settings.edf = false;
  settings.lateWait = std::chrono::seconds(seconds + 10);  // nothing behind the hole goes out
  RecordCounters counters;
  const int64_t streamUs =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count() -
      1000000;
  std::string info = R"({"format":2,"model":"VZ-8","description":"B","period_us":1000,)"
                     R"("started":"2026-12-08T10:00:00.000Z","started_us":)" +
                     std::to_string(streamUs) + R"(,"channels":[)";
  for (int c = 1; c <= kChannels; ++c) {
    info += (c > 1 ? "," : "") + std::string(R"({"index":)") + std::to_string(c) + R"(,"name":"c","units":""})";
  }
  info += "]}";
  {
    InstrumentRecorder r("b", settings, counters);
    const auto t0 = RecordClock::now();
    r.Info("bench/b/info", info, t0);
    r.Samples("bench/b/samples", Batch(0, streamUs), t0);
    r.Tick(t0 + std::chrono::seconds(2));  // the first batch written, the files open
    const size_t before = HeapInUse();
    const int batches = seconds * 20;
    for (int k = 0; k < batches; ++k) {
      const auto now = t0 + std::chrono::seconds(2) + std::chrono::milliseconds(50 * k);
      r.Samples("bench/b/samples", Batch(kBatch * (k + 2), streamUs), now);  // the batch at 50 never comes
      r.Tick(now);
    }
    const size_t held = HeapInUse() - before;
    const size_t messages = r.HeldBytes();
    // The hole fills: everything goes out, and the memory with it.
    const auto end = t0 + std::chrono::seconds(2 + seconds);
    r.Samples("bench/b/samples", Batch(kBatch, streamUs), end);
    r.Tick(end + std::chrono::seconds(2));
    const size_t after = HeapInUse();
    std::printf("record hold, 16 channels at 1 kHz, %d s held: heap per second of hold: %.1f KB\n", seconds,
                held / 1000.0 / seconds);
    std::printf("record hold: message bytes per second of hold (what the bound counts): %.1f KB\n",
                messages / 1000.0 / seconds);
    std::printf("record hold: heap left once the hole filled and the batches were written: %.1f KB\n",
                (after > before ? after - before : 0) / 1000.0);
    const StreamRecord* s = r.Writing();
    std::printf("record hold: samples written %llu of %llu, gaps %llu\n",
                static_cast<unsigned long long>(s ? s->samples : 0),
                static_cast<unsigned long long>(kBatch * (batches + 2)),
                static_cast<unsigned long long>(s ? s->gaps : 0));
  }
  std::filesystem::remove_all(folder);
  return 0;
}
