// Decoding throughput: a 16-channel data line through dispatchLine into the
// receive ring on one core, beside the line rate a 12 Mbaud FTDI link can
// carry for that line length. The ring is drained as the host would.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/frame_writer.h"
#include "serial/vozi_serial.h"
#include "vozi/device_description.h"
#include "vozi/handshake.h"

namespace {

class DiscardingWriter : public FrameWriter {
 public:
  bool WriteFrame(const uint8_t*, int32_t) override { return true; }
};

constexpr int kChannels = 16;
constexpr double kLinkBitsPerSecond = 12e6;
constexpr double kBitsPerByte = 10.0;  // start, 8 data, stop

std::string Repeat(const std::string& field, int count) {
  std::string line;
  for (int i = 0; i < count; ++i) line += (i ? "," : "") + field;
  return line;
}

HResult Dispatch(Handshake& protocol, OpenKymo::VoziSerial& device, const std::string& line) {
  return protocol.dispatchLine(device, line.data(), static_cast<int32_t>(line.size()));
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main() {
  DiscardingWriter writer;
  OpenKymo::VoziSerial device(u"/nonexistent/vozi-bench", 1, u"bench", &writer);
  device.NewReceiveRing();
  Handshake protocol;

  // A 16-channel instrument: field 0 a sample counter, 15 ranged channels.
  device.handshakeState.SetState(HandshakeState::Greeting);
  const std::vector<std::string> handshake = {
      "S", "V,1,2,3,45,D800", "F", Repeat("x", kChannels), "EndOfCycle,0.001,0.01,1", "U", "I",
      Repeat("ch", kChannels), Repeat("mV", kChannels), Repeat("5000", kChannels), Repeat("-5000", kChannels)};
  for (const std::string& line : handshake) Dispatch(protocol, device, line);
  if (CurrentState(device) != HandshakeState::Idle) {
    std::fprintf(stderr, "handshake did not complete\n");
    return 1;
  }
  for (int32_t channel = 1; channel < kChannels; ++channel) device.ReaderDescription()->EnableChannel(channel);
  device.handshakeState.SetState(HandshakeState::Starting);
  Dispatch(protocol, device, "B");

  // Typical instrument values: a counter, then signed readings with decimals.
  std::string data = "1048576";
  const char* const readings[] = {"-1234.5", "2.25", "4999.99", "-0.125", "17", "-4321.75", "3000.5", "*"};
  for (int i = 1; i < kChannels; ++i) data += std::string(",") + readings[i % 8];

  std::vector<uint8_t> drained(ReceiveRing::kCapacity);
  uint64_t lines = 0, outputBytes = 0;
  // The thread's own CPU time too: on a shared machine the wall clock also
  // counts the time others ran, and the whole path's figure is CPU time.
  const double cpuStart = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  auto now = start;
  constexpr uint64_t kBatch = 256;  // ~25 KB of text: the ring never fills
  while (now - start < std::chrono::seconds(2)) {
    for (uint64_t i = 0; i < kBatch; ++i) Dispatch(protocol, device, data);
    lines += kBatch;
    int32_t count = ReceiveRing::kCapacity;
    if (device.ReadBuffer(drained.data(), count, 0)) outputBytes += static_cast<uint64_t>(count);
    now = std::chrono::steady_clock::now();
  }
  const double seconds = std::chrono::duration<double>(now - start).count();
  const double cpu = ThreadCpuSeconds() - cpuStart;
  const double rate = static_cast<double>(lines) / seconds;
  const double wireBytes = static_cast<double>(data.size() + 2);  // CR LF
  const double linkRate = kLinkBitsPerSecond / kBitsPerByte / wireBytes;

  std::printf("data line: %zu bytes + CR LF, %d fields, %d enabled\n", data.size(), kChannels, kChannels - 1);
  std::printf("decoded:   %.0f lines/s (%.1f ns/line), %.1f output bytes/line\n", rate, 1e9 / rate,
              static_cast<double>(outputBytes) / static_cast<double>(lines));
  std::printf("decoded:   CPU per line %.1f ns (this thread's CPU time)\n", cpu * 1e9 / static_cast<double>(lines));
  std::printf("12 Mbaud FTDI link carries at most %.0f lines/s of this length\n", linkRate);
  std::printf("headroom:  %.1fx the link rate; goal 1000000 lines/s %s\n", rate / linkRate,
              rate >= 1e6 ? "met" : "NOT met");
  std::printf("ring dropped lines: %llu\n", static_cast<unsigned long long>(device.Ring()->DroppedLines()));
  return 0;
}
