// Discovery time over many USB serial ttys: a whole FindDevice pass (every
// call until the walk ends) over a device root of FTDI adapters that carry no
// serial number, the case in which each port needs the driver's look-up, with
// one instrument at the end. Prints one line per count and a RESULT line for
// scripts/bench.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "discovery/device_probe.h"
#include "vozi_sim/device_tree.h"

namespace {

namespace fs = std::filesystem;

// In memory when the machine has /dev/shm, as sysfs is in memory.
struct TempRoot {
  TempRoot() {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    std::string pattern = (base / "vozi-bench-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempRoot() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
  std::string path;
};

bool BuildTree(const std::string& root, int ttys) {
  fs::create_directories(root + "/sys/bus/usb-serial/drivers/ftdi_sio");
  for (int i = 0; i < ttys; ++i) {
    vozisim::UsbSerialPortSpec adapter;
    adapter.serial = i + 1 == ttys ? "ZOR12345" : "";
    std::string error;
    if (!vozisim::AddUsbSerialPort(root, adapter, "/dev/null", &error)) {
      std::fprintf(stderr, "cannot build port %d: %s\n", i, error.c_str());
      return false;
    }
  }
  return true;
}

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Pass {
  double seconds = -1.0;  // wall clock; -1 when the instrument was not found
  double cpuSeconds = 0.0;
};

Pass TimePass() {
  const double cpuStart = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  int found = 0;
  while (ProbeNextDevice()) ++found;
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  Pass pass;
  pass.cpuSeconds = CpuSeconds() - cpuStart;
  if (found == 1) pass.seconds = took.count();
  return pass;
}

}  // namespace

// Usage: discovery_bench [--runs N] [TTYS...]  (default 100 200 400 1000, best of 3)
int main(int argc, char** argv) {
  std::vector<int> counts;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      counts.push_back(std::atoi(argv[i]));
    }
  }
  if (counts.empty()) counts = {100, 200, 400, 1000};
  for (int ttys : counts) {
    TempRoot root;
    if (root.path.empty() || !BuildTree(root.path, ttys)) return 1;
    ::setenv("VOZI_DEVICE_ROOT", root.path.c_str(), 1);
    ReleaseDiscovery();
    // The best run: the machine is shared, and the pass itself is what
    // should scale, not the neighbours.
    Pass best;
    for (int run = 0; run < runs; ++run) {
      const Pass pass = TimePass();
      if (pass.seconds < 0) {
        std::fprintf(stderr, "%d ttys: the instrument was not found\n", ttys);
        return 1;
      }
      if (best.seconds < 0 || pass.seconds < best.seconds) best = pass;
    }
    std::printf("discovery: %5d ttys  %9.4f s per pass  (%.1f us per tty, CPU %.4f s)\n", ttys,
                best.seconds, best.seconds * 1e6 / ttys, best.cpuSeconds);
    std::printf("RESULT discovery ttys=%d seconds=%.6f cpu_seconds=%.6f\n", ttys, best.seconds,
                best.cpuSeconds);
    std::fflush(stdout);
    ::unsetenv("VOZI_DEVICE_ROOT");
  }
  return 0;
}
