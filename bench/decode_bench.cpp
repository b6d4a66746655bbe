// Decoding throughput: a 16-channel data line through dispatchLine into the
// receive ring on one core, beside the line rate a 12 Mbaud FTDI link can
// carry for that line length. The ring is drained as the host would.
// Then the same for the lines of pipeline_bench's stream (vozi-sim's own
// description and data lines), the decoder's share of that whole path.
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "burst_stream.h"
#include "serial/frame_writer.h"
#include "serial/vozi_serial.h"
#include "vozi/device_description.h"
#include "vozi/handshake.h"
#include "vozi_sim/description.h"
#include "vozi_sim/samples.h"
#include "vozi_sim/sim_config.h"

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

struct Measured {
  uint64_t lines = 0;
  uint64_t outputBytes = 0;
  double seconds = 0;
  double cpu = 0;
  uint64_t dropped = 0;
};

// Runs the handshake lines, enables channels 1..enabled and decodes the data
// lines round and round for two seconds.
std::optional<Measured> Decode(const std::vector<std::string>& handshake, int32_t enabled,
                               const std::vector<std::string>& data) {
  DiscardingWriter writer;
  OpenKymo::VoziSerial device(u"/nonexistent/vozi-bench", 1, u"bench", &writer);
  device.NewReceiveRing();
  Handshake protocol;
  device.handshakeState.SetState(HandshakeState::Greeting);
  for (const std::string& line : handshake) Dispatch(protocol, device, line);
  if (CurrentState(device) != HandshakeState::Idle) return std::nullopt;
  for (int32_t channel = 1; channel <= enabled; ++channel) device.ReaderDescription()->EnableChannel(channel);
  device.handshakeState.SetState(HandshakeState::Starting);
  Dispatch(protocol, device, "B");

  std::vector<uint8_t> drained(ReceiveRing::kCapacity);
  Measured m;
  // The thread's own CPU time too: on a shared machine the wall clock also
  // counts the time others ran, and the whole path's figure is CPU time.
  const double cpuStart = ThreadCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  auto now = start;
  constexpr uint64_t kBatch = 256;  // ~25 KB of text: the ring never fills
  size_t next = 0;
  while (now - start < std::chrono::seconds(2)) {
    for (uint64_t i = 0; i < kBatch; ++i) {
      Dispatch(protocol, device, data[next]);
      next = next + 1 == data.size() ? 0 : next + 1;
    }
    m.lines += kBatch;
    int32_t count = ReceiveRing::kCapacity;
    if (device.ReadBuffer(drained.data(), count, 0)) m.outputBytes += static_cast<uint64_t>(count);
    now = std::chrono::steady_clock::now();
  }
  m.seconds = std::chrono::duration<double>(now - start).count();
  m.cpu = ThreadCpuSeconds() - cpuStart;
  m.dropped = device.Ring()->DroppedLines();
  return m;
}

}  // namespace

int main() {
  // A 16-channel instrument: field 0 a sample counter, 15 ranged channels.
  const std::vector<std::string> handshake = {
      "S", "V,1,2,3,45,D800", "F", Repeat("x", kChannels), "EndOfCycle,0.001,0.01,1", "U", "I",
      Repeat("ch", kChannels), Repeat("mV", kChannels), Repeat("5000", kChannels), Repeat("-5000", kChannels)};
  // Typical instrument values: a counter, then signed readings with decimals.
  std::string data = "1048576";
  const char* const readings[] = {"-1234.5", "2.25", "4999.99", "-0.125", "17", "-4321.75", "3000.5", "*"};
  for (int i = 1; i < kChannels; ++i) data += std::string(",") + readings[i % 8];
  const std::optional<Measured> m = Decode(handshake, kChannels - 1, {data});
  if (!m) {
    std::fprintf(stderr, "handshake did not complete\n");
    return 1;
  }
  const double rate = static_cast<double>(m->lines) / m->seconds;
  const double wireBytes = static_cast<double>(data.size() + 2);  // CR LF
  const double linkRate = kLinkBitsPerSecond / kBitsPerByte / wireBytes;

  std::printf("data line: %zu bytes + CR LF, %d fields, %d enabled\n", data.size(), kChannels, kChannels - 1);
  std::printf("decoded:   %.0f lines/s (%.1f ns/line), %.1f output bytes/line\n", rate, 1e9 / rate,
              static_cast<double>(m->outputBytes) / static_cast<double>(m->lines));
  std::printf("decoded:   CPU per line %.1f ns (this thread's CPU time)\n",
              m->cpu * 1e9 / static_cast<double>(m->lines));
  std::printf("12 Mbaud FTDI link carries at most %.0f lines/s of this length\n", linkRate);
  std::printf("headroom:  %.1fx the link rate; goal 1000000 lines/s %s\n", rate / linkRate,
              rate >= 1e6 ? "met" : "NOT met");
  std::printf("ring dropped lines: %llu\n", static_cast<unsigned long long>(m->dropped));

  // pipeline_bench's stream: the simulator's own description, one wave cycle
  // of its data lines at the burst period.
  vozisim::SimConfig cfg;
  for (const auto& [key, value] : BenchStreamOptions()) {
    if (auto error = vozisim::ApplyOption(cfg, key, value)) {
      std::fprintf(stderr, "simulator option %s: %s\n", key.c_str(), error->c_str());
      return 1;
    }
  }
  vozisim::ApplyOption(cfg, "periods", kBenchBurstPeriod);
  const std::vector<std::string> simHandshake = {
      "S", vozisim::VersionLine(cfg), "F", vozisim::FormatLine(cfg), vozisim::PeriodLine(cfg), "U", "I",
      vozisim::NamesLine(cfg), vozisim::UnitsLine(cfg), vozisim::MaximaLine(cfg), vozisim::MinimaLine(cfg)};
  const int64_t periodUs = vozisim::StartPeriodMicros(cfg).value_or(20);
  const vozisim::SampleGenerator generator(cfg);
  std::vector<std::string> simLines;
  size_t bytes = 0;
  for (uint64_t n = 0; n < cfg.wavePeriod; ++n) {
    simLines.push_back(generator.Line(n, periodUs));
    bytes += simLines.back().size() + 2;
  }
  const int32_t simChannels = static_cast<int32_t>(vozisim::ResolveChannels(cfg).size()) - 1;
  const std::optional<Measured> s = Decode(simHandshake, simChannels, simLines);
  if (!s) {
    std::fprintf(stderr, "the simulator's handshake did not complete\n");
    return 1;
  }
  std::printf("pipeline stream: %.1f bytes per line with CR LF, %d fields, %d enabled\n",
              static_cast<double>(bytes) / static_cast<double>(simLines.size()), simChannels + 1, simChannels);
  std::printf("pipeline stream decoded: CPU per line %.1f ns (this thread's CPU time), ring dropped %llu\n",
              s->cpu * 1e9 / static_cast<double>(s->lines), static_cast<unsigned long long>(s->dropped));
  return 0;
}
