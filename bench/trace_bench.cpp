// What the field trace costs per event on the reader thread's path: off (the
// default: one relaxed load and a branch) and on (a line formatted on the
// stack and appended to the file with one write under the trace's lock).
//
// Prints ns per traced received line, off and on, and the bytes written.
//
//   trace_bench [--file PATH]   (default: a file in $TMPDIR, removed after)
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "trace/trace.h"

namespace {

using Clock = std::chrono::steady_clock;

// A 16-channel data line as the instrument sends it.
const std::string kLine =
    "0.001000,0.062790,62.5,32.5,0.01,1,0.062790,62.5,32.5,0.01,1,0.062790,62.5,32.5,0.01,1\r";
const int32_t kLineLength = static_cast<int32_t>(kLine.size());

// As the device passes it: its port name.
const std::u16string kPort = u"/dev/ttyUSB0";

double NsPerCall(long calls) {
  const auto start = Clock::now();
  for (long i = 0; i < calls; ++i) {
    trace::LineReceived(kPort, reinterpret_cast<const uint8_t*>(kLine.data()), kLineLength, "\n");
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(calls);
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) path = argv[++i];
  }
  bool temporary = false;
  if (path.empty()) {
    const char* folder = std::getenv("TMPDIR");
    path = std::string(folder && *folder ? folder : "/tmp") + "/vozi-trace-bench-" + std::to_string(getpid());
    temporary = true;
  }

  const long offCalls = 100000000;
  std::printf("trace off: %.2f ns per received line (%ld calls)\n", NsPerCall(offCalls), offCalls);

  setenv(trace::kVariable, path.c_str(), 1);
  trace::Begin();
  if (!trace::On()) {
    std::fprintf(stderr, "trace_bench: the trace did not start (%s)\n", path.c_str());
    return 1;
  }
  const long onCalls = 200000;
  const double on = NsPerCall(onCalls);
  trace::End(false);
  FILE* file = std::fopen(path.c_str(), "rb");
  long bytes = 0;
  if (file) {
    std::fseek(file, 0, SEEK_END);
    bytes = std::ftell(file);
    std::fclose(file);
  }
  std::printf("trace on: %.0f ns per received line (%ld calls, %ld bytes written, %.0f bytes per line)\n", on,
              onCalls, bytes, static_cast<double>(bytes) / static_cast<double>(onCalls));
  if (temporary) unlink(path.c_str());
  return 0;
}
