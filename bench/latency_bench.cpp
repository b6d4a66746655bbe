// Added latency and how the cost grows with the number of instruments.
//
// For 1, 8 and 32 instruments streaming at once (each a line every 1 ms, the
// simulator's fastest period, five channels enabled), played by this program
// on pseudo-terminals (instrument_farm.h), with one host thread per device
// blocked in ReadLine as a host would be:
//  - added latency: from just before the write that hands a line's last byte
//    to the terminal, to the return of the ReadLine that delivers it (p50,
//    p99, p99.9, max);
//  - CPU per line: this process's CPU minus the instrument thread's, per line
//    delivered (reader threads, decoding, ring, host reads);
//  - idle CPU per started device: the same devices described and idle (the
//    reader's quiet waits), per device, in % of one core.
//
//   latency_bench [--instruments 1,8,32] [--seconds N] [--idle-seconds N]
//
// Lines starting "RESULT" carry the figures as key=value pairs for
// scripts/bench.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "instrument_farm.h"
#include "startup/start_device.h"
#include "vozi/device_commands.h"
#include "vozi_enabler.h"

namespace {

using bench::Clock;
using bench::InstrumentFarm;
using namespace std::chrono_literals;

constexpr int32_t kCounterModulus = 32768;
constexpr int32_t kLastField = 5;  // the counter: its decoded value is the sample number mod 32768

// The scheduler's exact run time of every thread of the process, living or
// ended (getrusage only samples at the timer tick, too coarse for an idle
// device's few milliseconds).
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t ProcessContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_nvcsw + usage.ru_nivcsw);
}

bool Command(OpenKymo::VoziSerial& device, CommandCode code, int32_t argument = 0) {
  CommandRecord record{};
  char reply[256];
  record.reply = reply;
  record.replySize = sizeof reply;
  record.argument = argument;
  return handleCommand(device, static_cast<int32_t>(code), &record);
}

// Runs f(i) for i in 0..count-1 on count threads: start-up sleeps a second
// per device, so the devices are started side by side.
template <typename F>
void ForEachAtOnce(size_t count, F f) {
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) threads.emplace_back(f, i);
  for (auto& t : threads) t.join();
}

// Started, described devices on the farm's terminals.
std::vector<std::unique_ptr<OpenKymo::VoziSerial>> StartDevices(const InstrumentFarm& farm) {
  std::vector<std::unique_ptr<OpenKymo::VoziSerial>> devices(farm.Count());
  std::atomic<bool> ok{true};
  ForEachAtOnce(farm.Count(), [&](size_t i) {
    const std::u16string path(farm.SlavePath(i).begin(), farm.SlavePath(i).end());
    auto device = std::make_unique<OpenKymo::VoziSerial>(path.c_str(), static_cast<int32_t>(i), u"bench");
    if (StartDevice(*device, device->portName.c_str()) != kS_OK) ok = false;
    if (!Command(*device, CommandCode::GetModelName)) ok = false;  // waits for the whole description
    devices[i] = std::move(device);
  });
  if (!ok) throw std::runtime_error("start-up failed");
  return devices;
}

// One host thread: reads lines and, while measuring, notes each one's latency.
struct Reader {
  std::vector<float> latencyUs;
  uint64_t lines = 0;
  uint64_t lost = 0;
  uint64_t unknown = 0;  // lines whose write time the farm no longer had
};

void ReadLines(OpenKymo::VoziSerial& device, const InstrumentFarm& farm, size_t index, Reader& out,
               const std::atomic<bool>& measuring, const std::atomic<bool>& stop) {
  int64_t next = 0;
  char line[128];
  while (!stop.load(std::memory_order_relaxed)) {
    if (!device.ReadLine(reinterpret_cast<uint8_t*>(line), sizeof line, 200)) continue;
    const Clock::time_point now = Clock::now();
    const char* comma = std::strrchr(line, ',');
    if (!comma) continue;
    const int64_t counter = std::atol(comma + 1);
    const int64_t n = next + (counter - next % kCounterModulus + kCounterModulus) % kCounterModulus;
    if (!measuring.load(std::memory_order_relaxed)) {
      next = n + 1;
      continue;
    }
    out.lost += static_cast<uint64_t>(n - next);
    next = n + 1;
    ++out.lines;
    const auto written = farm.WrittenAt(index, static_cast<uint64_t>(n));
    if (!written) {
      ++out.unknown;
      continue;
    }
    out.latencyUs.push_back(std::chrono::duration<float, std::micro>(now - *written).count());
  }
}

double Percentile(std::vector<float>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
  return sorted[i];
}

void Streaming(size_t count, double seconds) {
  vozisim::SimConfig cfg;  // six fields, 1 ms, field 5 a counter
  InstrumentFarm farm(count, cfg);
  auto devices = StartDevices(farm);
  ForEachAtOnce(count, [&](size_t i) {
    for (int32_t field = 1; field <= kLastField; ++field) Command(*devices[i], CommandCode::EnableChannel, field);
    Command(*devices[i], CommandCode::StartStream);
  });

  std::vector<Reader> readers(count);
  std::atomic<bool> measuring{false}, stop{false};
  std::vector<std::thread> hosts;
  for (size_t i = 0; i < count; ++i) {
    readers[i].latencyUs.reserve(static_cast<size_t>(seconds * 1.2e6 / static_cast<double>(farm.Period().count())));
    hosts.emplace_back(ReadLines, std::ref(*devices[i]), std::cref(farm), i, std::ref(readers[i]), std::cref(measuring),
                       std::cref(stop));
  }
  std::this_thread::sleep_for(1s);  // every stream has begun and settled
  const double cpu0 = ProcessCpuSeconds(), farm0 = farm.CpuSeconds();
  const uint64_t switches0 = ProcessContextSwitches(), farmSwitches0 = farm.ContextSwitches();
  const auto t0 = Clock::now();
  measuring = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  measuring = false;
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = (ProcessCpuSeconds() - cpu0) - (farm.CpuSeconds() - farm0);
  const double switches = static_cast<double>((ProcessContextSwitches() - switches0) -
                                              (farm.ContextSwitches() - farmSwitches0));
  stop = true;
  for (auto& h : hosts) h.join();
  ForEachAtOnce(count, [&](size_t i) { Command(*devices[i], CommandCode::StopStream); });

  std::vector<float> all;
  uint64_t lines = 0, lost = 0, unknown = 0;
  for (const Reader& r : readers) {
    all.insert(all.end(), r.latencyUs.begin(), r.latencyUs.end());
    lines += r.lines;
    lost += r.lost;
    unknown += r.unknown;
  }
  std::sort(all.begin(), all.end());
  const double perLineUs = lines ? cpu * 1e6 / static_cast<double>(lines) : 0;
  const double switchesPerLine = lines ? switches / static_cast<double>(lines) : 0;
  std::printf("%2zu instrument(s): %.0f lines/s; added latency p50 %.0f us, p99 %.0f us, p99.9 %.0f us, max %.0f us; "
              "CPU %.2f us per line (%.1f context switches), %.3f %% of a core per instrument; lost %llu\n",
              count, static_cast<double>(lines) / elapsed, Percentile(all, 0.5), Percentile(all, 0.99),
              Percentile(all, 0.999), all.empty() ? 0.0 : all.back(), perLineUs, switchesPerLine,
              cpu * 100 / elapsed / static_cast<double>(count), static_cast<unsigned long long>(lost));
  std::printf("RESULT latency instruments=%zu lines_per_s=%.0f p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.0f "
              "cpu_us_per_line=%.2f switches_per_line=%.2f cpu_pct_per_instrument=%.3f lost=%llu unknown=%llu "
              "refused=%llu\n",
              count, static_cast<double>(lines) / elapsed, Percentile(all, 0.5), Percentile(all, 0.99),
              Percentile(all, 0.999), all.empty() ? 0.0 : all.back(), perLineUs, switchesPerLine,
              cpu * 100 / elapsed / static_cast<double>(count), static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(unknown), static_cast<unsigned long long>(farm.WritesRefused()));
  std::fflush(stdout);
  ForEachAtOnce(count, [&](size_t i) { devices[i].reset(); });
}

void Idle(size_t count, double seconds) {
  vozisim::SimConfig cfg;
  InstrumentFarm farm(count, cfg);
  auto devices = StartDevices(farm);
  std::this_thread::sleep_for(500ms);
  const double cpu0 = ProcessCpuSeconds(), farm0 = farm.CpuSeconds();
  const uint64_t switches0 = ProcessContextSwitches(), farmSwitches0 = farm.ContextSwitches();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = (ProcessCpuSeconds() - cpu0) - (farm.CpuSeconds() - farm0);
  // Nearly every switch is a reader ending a quiet wait.
  const double wakeups = static_cast<double>((ProcessContextSwitches() - switches0) -
                                             (farm.ContextSwitches() - farmSwitches0));
  const double perDevicePct = cpu * 100 / elapsed / static_cast<double>(count);
  const double wakeupsPerSecond = wakeups / elapsed / static_cast<double>(count);
  const double usPerWakeup = wakeups > 0 ? cpu * 1e6 / wakeups : 0;
  std::printf("%2zu instrument(s) idle: %.4f %% of one core per started device (%.3f ms CPU per second each; "
              "%.1f wake-ups per second each, %.1f us CPU per wake-up)\n",
              count, perDevicePct, perDevicePct * 10, wakeupsPerSecond, usPerWakeup);
  std::printf("RESULT idle instruments=%zu cpu_pct_per_device=%.4f wakeups_per_s=%.1f us_per_wakeup=%.2f\n", count,
              perDevicePct, wakeupsPerSecond, usPerWakeup);
  std::fflush(stdout);
  ForEachAtOnce(count, [&](size_t i) { devices[i].reset(); });
}

std::vector<size_t> Counts(const char* text) {
  std::vector<size_t> counts;
  for (const char* p = text; *p;) {
    counts.push_back(static_cast<size_t>(std::strtoul(p, const_cast<char**>(&p), 10)));
    if (*p == ',') ++p;
    else if (*p) break;
  }
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> counts = {1, 8, 32};
  double seconds = 5, idleSeconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--instruments") && i + 1 < argc) counts = Counts(argv[++i]);
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--idle-seconds") && i + 1 < argc) idleSeconds = std::atof(argv[++i]);
    else {
      std::fprintf(stderr, "usage: latency_bench [--instruments 1,8,32] [--seconds N] [--idle-seconds N]\n");
      return 2;
    }
  }
  try {
    for (size_t count : counts) Streaming(count, seconds);
    for (size_t count : counts) Idle(count, idleSeconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "latency_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
