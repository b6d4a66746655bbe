// The whole receive path, measured: vozi-sim (a separate process, so its CPU
// is not counted) -> pseudo-terminal -> reader thread -> decoder -> ring ->
// a host thread draining with ReadBuffer.
//
// Prints: sustained throughput (lines/s, bytes/s) with the count of lost
// lines (gaps in a counter channel and lines the ring refused), the CPU time
// of this process per megabyte delivered, and the CPU per second of a
// started device whose instrument stays quiet (the reader's quiet waits).
//
//   pipeline_bench [--seconds N] [--sim PATH] [--only PERIOD|burst|idle]
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "burst_stream.h"
#include "startup/start_device.h"
#include "vozi/device_commands.h"
#include "vozi/device_description.h"
#include "vozi_enabler.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// This process's CPU time, and of it the time spent in the kernel.
double CpuSeconds(double* kernel = nullptr) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  if (kernel) *kernel = Seconds(usage.ru_stime);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

struct Simulator {
  pid_t pid = -1;
  std::string slave;

  bool Start(const std::string& path, const std::vector<std::string>& options) {
    int out[2];
    if (pipe(out) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& o : options) argv.push_back(const_cast<char*>(o.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) return false;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') slave += c;
    close(out[0]);
    return !slave.empty();
  }
  ~Simulator() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

bool Command(OpenKymo::VoziSerial& device, CommandCode code, int32_t argument = 0) {
  CommandRecord record{};
  char reply[512];
  record.reply = reply;
  record.replySize = sizeof reply;
  record.argument = argument;
  return handleCommand(device, static_cast<int32_t>(code), &record);
}

std::unique_ptr<OpenKymo::VoziSerial> Open(const std::string& slave) {
  const std::u16string path(slave.begin(), slave.end());
  auto device = std::make_unique<OpenKymo::VoziSerial>(path.c_str(), 1, u"bench");
  if (StartDevice(*device, device->portName.c_str()) != kS_OK) return nullptr;
  return device;
}

// The counter channel carries the sample number (mod 32768) as its scaled
// value; a jump means lines were lost on the way.
// burst: no pacing, the instrument writes as fast as the line takes it;
// otherwise it streams at periodSeconds.
int Throughput(const std::string& simPath, double seconds, bool burst, const std::string& periodSeconds) {
  Simulator sim;
  std::vector<std::string> options = {"--periods=" + periodSeconds};
  for (const auto& [key, value] : BenchStreamOptions()) options.push_back("--" + key + "=" + value);
  if (burst) options.push_back("--burst");
  if (!sim.Start(simPath, options)) {
    std::fprintf(stderr, "cannot start %s\n", simPath.c_str());
    return 1;
  }
  auto device = Open(sim.slave);
  if (!device) {
    std::fprintf(stderr, "start-up failed\n");
    return 1;
  }
  for (int32_t channel = 1; channel <= 16; ++channel) Command(*device, CommandCode::EnableChannel, channel);
  if (!Command(*device, CommandCode::StartStream)) return 1;

  std::vector<uint8_t> buffer(65536);
  std::string partial;
  uint64_t bytes = 0, lines = 0, lost = 0;
  long previous = -1;
  double kernelStart = 0, kernelEnd = 0;
  const double cpuStart = CpuSeconds(&kernelStart);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  // Counts the lines in what a read delivered; the counter channel (last
  // field) tells how many lines went missing between two that arrived. Only
  // each line's last field is looked at, so that the host's own counting
  // costs little beside the library's work.
  auto take = [&](int32_t count) {
    uint64_t taken = 0;
    const char* text = reinterpret_cast<const char*>(buffer.data());
    const char* const stop = text + count;
    while (text < stop) {
      const char* lf = static_cast<const char*>(std::memchr(text, '\n', static_cast<size_t>(stop - text)));
      if (!lf) {
        partial.append(text, stop);
        break;
      }
      const char* field = lf;
      while (field > text && field[-1] != ',') --field;
      if (field == text && !partial.empty()) {
        partial.append(text, lf);
        field = partial.c_str() + partial.rfind(',') + 1;
      }
      ++taken;
      const long counter = std::strtol(field, nullptr, 10);
      if (previous >= 0) lost += static_cast<uint64_t>((counter - previous - 1 + 32768) % 32768);
      previous = counter;
      partial.clear();
      text = lf + 1;
    }
    return taken;
  };
  while (Clock::now() < end) {
    int32_t count = static_cast<int32_t>(buffer.size());
    if (!device->ReadBuffer(buffer.data(), count, 100)) continue;
    bytes += static_cast<uint64_t>(count);
    lines += take(count);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds(&kernelEnd) - cpuStart;
  const double kernel = kernelEnd - kernelStart;
  // Stop the instrument while still draining, so that every line the ring
  // refused is followed by one that arrived and shows as a gap.
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    Command(*device, CommandCode::StopStream);
    stopped = true;
  });
  for (;;) {
    int32_t count = static_cast<int32_t>(buffer.size());
    const bool got = device->ReadBuffer(buffer.data(), count, 100);
    if (got) take(count);
    if (!got && stopped) break;
  }
  stopper.join();
  const uint64_t refused = device->Ring() ? device->Ring()->DroppedLines() : 0;
  std::printf("pipeline (%s): %.0f lines/s, %.2f MB/s (%llu lines, %.1f s), line %.0f bytes\n",
              burst ? "burst" : ("period " + periodSeconds + " s").c_str(), lines / elapsed,
              bytes / elapsed / 1e6, static_cast<unsigned long long>(lines), elapsed,
              lines ? static_cast<double>(bytes) / static_cast<double>(lines) : 0.0);
  std::printf("pipeline: lost lines %llu (counter gaps), refused by the ring %llu\n",
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(refused));
  std::printf("pipeline: CPU %.3f s for %.2f MB delivered = %.1f ms CPU per MB (reader + host, sim excluded)\n", cpu,
              bytes / 1e6, bytes ? cpu * 1e3 / (bytes / 1e6) : 0.0);
  std::printf("pipeline: CPU per line %.3f us (reader + host, sim excluded), of it in the kernel %.3f us\n",
              lines ? cpu * 1e6 / lines : 0.0, lines ? kernel * 1e6 / lines : 0.0);
  return 0;
}

int Idle(const std::string& simPath, double seconds) {
  Simulator sim;
  if (!sim.Start(simPath, {})) return 1;
  auto device = Open(sim.slave);
  if (!device) return 1;
  Command(*device, CommandCode::GetModelName);  // waits for the whole handshake
  const double cpuStart = CpuSeconds();
  const auto start = Clock::now();
  usleep(static_cast<useconds_t>(seconds * 1e6));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuStart;
  std::printf("idle: %.3f ms CPU per second = %.4f %% of one core (started device, quiet instrument)\n",
              cpu * 1e3 / elapsed, cpu * 100 / elapsed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  std::string sim = std::string(BENCH_SIM_PATH);
  std::string only;  // one mode: a period in seconds, "burst" or "idle"
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--sim") && i + 1 < argc) sim = argv[++i];
    else if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
  }
  // The simulator writes what fell due every millisecond: 1 ms gives one
  // line per write, 31.25 us about 32 lines per write; 100 us is 10,000
  // lines/s of 92 bytes, about what a 12 Mbaud FTDI link carries; 20 us five
  // times that; burst as fast as the host drains.
  for (const char* period : {"0.001", "0.00003125", "0.0001", "0.00002", "burst"}) {
    if (!only.empty() && only != period) continue;
    const bool burst = !std::strcmp(period, "burst");
    if (Throughput(sim, seconds, burst, burst ? kBenchBurstPeriod : period) != 0) return 1;
  }
  return only.empty() || only == "idle" ? Idle(sim, seconds) : 0;
}
