// The simulated instrument's data lines, the host-side scaling it predicts,
// its stream pacing and its transmit encoding (line ends and faults).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vozi_sim/output_queue.h"
#include "vozi_sim/samples.h"
#include "vozi_sim/stream_clock.h"

namespace vozisim {
namespace {

using namespace std::chrono_literals;

TEST(SimSamples, DefaultWaveformsAtKnownSamples) {
  SimConfig cfg;
  // ECG sine (amplitude 4 around 0), Pulse square (62.5 / 187.5), Temp
  // constant (mid-range 32.5), Ramp 0..10, Counter.
  EXPECT_EQ(DataLine(cfg, 0), "0.000000,0,62.5,32.5,0,0");
  EXPECT_EQ(DataLine(cfg, 250), "0.250000,4,62.5,32.5,2.5,250");
  EXPECT_EQ(DataLine(cfg, 750), "0.750000,-4,187.5,32.5,7.5,750");
  EXPECT_EQ(DataLine(cfg, 1250), "1.250000,4,62.5,32.5,2.5,1250");
  EXPECT_EQ(DataFields(cfg, 40000).at(5), "7232");  // counter wraps at 32768
}

TEST(SimSamples, TimeFieldIsExactForAnyPeriod) {
  SimConfig cfg;
  EXPECT_EQ(DataLine(cfg, 3, 250).substr(0, 9), "0.000750,");
  EXPECT_EQ(TimeText(3, 100000), "0.300000");  // 3 * 0.1 in doubles is not 0.3
  EXPECT_EQ(TimeText(12345678, 1000), "12345.678000");
  cfg.startPeriod = 5;  // 0.1 s
  EXPECT_EQ(DataFields(cfg, 7).at(0), "0.700000");
}

TEST(SimSamples, MissingValueEveryKthSample) {
  SimConfig cfg;
  cfg.missingChannel = 2;
  cfg.missingEvery = 3;
  EXPECT_EQ(DataFields(cfg, 0).at(2), "62.5");
  EXPECT_EQ(DataFields(cfg, 1).at(2), "62.5");
  EXPECT_EQ(DataFields(cfg, 2).at(2), "*");
  EXPECT_EQ(DataFields(cfg, 5).at(2), "*");
  EXPECT_EQ(DataFields(cfg, 5).at(3), "32.5");  // only that channel
  EXPECT_EQ(DataLine(cfg, 2), "0.002000,0.0502642,*,32.5,0.02,2");
}

// One generator formats each wave phase once and reuses the text; the lines
// must stay those of a fresh generator, counter, time and gaps included.
TEST(SimSamples, ReusedGeneratorGivesTheSameLines) {
  SimConfig cfg;
  cfg.wavePeriod = 8;
  cfg.missingChannel = 1;
  cfg.missingEvery = 5;
  const SampleGenerator generator(cfg);
  for (uint64_t n = 0; n < 3 * cfg.wavePeriod + 1; ++n) {
    ASSERT_EQ(generator.Line(n, 1000), DataLine(cfg, n, 1000)) << "sample " << n;
  }
}

TEST(SimSamples, CrcFieldEndsTheLine) {
  EXPECT_EQ(Crc16("123456789"), 0x29B1);  // CRC-16/CCITT-FALSE check value
  SimConfig cfg;
  cfg.crc = true;
  SimConfig plain;
  const std::string base = DataLine(plain, 9);
  EXPECT_EQ(DataLine(cfg, 9), base + "," + std::to_string(Crc16(base)));
  EXPECT_EQ(DataFields(cfg, 9).size(), 6u);
}

TEST(SimSamples, WideChannelSetsAndWaveOverrides) {
  SimConfig cfg;
  cfg.channels = 30;
  EXPECT_EQ(DataFields(cfg, 500).size(), 30u);
  EXPECT_EQ(DataFields(cfg, 500).at(29), "5");  // Ch29: ramp 0..10 at half period
  cfg.channels = 3;
  cfg.waves = ",constant,counter";
  cfg.minima = "na,-10,100";
  cfg.maxima = "na,10,105";
  EXPECT_EQ(DataLine(cfg, 0), "0.000000,0,100");
  EXPECT_EQ(DataLine(cfg, 8), "0.008000,0,102");  // counter over 100..105 wraps after 6
}

TEST(SimSamples, NumbersPrintLikePercentSixG) {
  EXPECT_EQ(FormatValue(0.5), "0.5");
  EXPECT_EQ(FormatValue(-12.25), "-12.25");
  EXPECT_EQ(FormatValue(1234567), "1.23457e+06");
  EXPECT_EQ(FormatValue(0.0001), "0.0001");
  EXPECT_EQ(FormatValue(0.00001), "1e-05");
  EXPECT_EQ(FormatValue(-0.0), "0");
}

TEST(SimScaling, HostScalingAtTheEdges) {
  EXPECT_EQ(ScaleToDecoded(0, 0, 100), 0);
  EXPECT_EQ(ScaleToDecoded(50, 0, 100), 16384);  // 16383.5 rounds half up
  EXPECT_EQ(ScaleToDecoded(100, 0, 100), 32767);
  EXPECT_EQ(ScaleToDecoded(-5, 0, 100), 0);
  EXPECT_EQ(ScaleToDecoded(1e9f, 0, 100), 32767);
  EXPECT_EQ(ScaleToDecoded(0, -32767, 32767), 16384);  // an "na" range
  EXPECT_EQ(ScaleToDecoded(3, 7, 7), std::nullopt);
  EXPECT_EQ(RangeValue("na", true), 32767.0f);
  EXPECT_EQ(RangeValue("na", false), -32767.0f);
  EXPECT_EQ(RangeValue("x", false), std::nullopt);
}

TEST(SimScaling, ExpectedDecodedAndBack) {
  SimConfig cfg;
  EXPECT_EQ(ExpectedDecoded(cfg, 4, 250), 8192);     // ramp 2.5 of 0..10
  EXPECT_EQ(ExpectedDecoded(cfg, 5, 32767), 32767);  // counter at its maximum
  EXPECT_EQ(ExpectedDecoded(cfg, 1, 0), 16384);      // sine at 0 of -5..5
  EXPECT_EQ(ExpectedDecoded(cfg, 0, 1), std::nullopt);
  EXPECT_EQ(ExpectedDecoded(cfg, 6, 1), std::nullopt);
  cfg.missingChannel = 3;
  cfg.missingEvery = 1;
  EXPECT_EQ(ExpectedDecoded(cfg, 3, 4), 0);
  EXPECT_NEAR(DecodedToValue(8192, 0, 10), 2.5, 10.0 / 32767);
  EXPECT_DOUBLE_EQ(DecodedToValue(0, 20, 45), 20.0);
  EXPECT_DOUBLE_EQ(DecodedToValue(32767, 20, 45), 45.0);
}

TEST(SimStreamClock, DeadlinesAreAbsolute) {
  StreamClock c;
  const auto t0 = StreamClock::Clock::time_point{} + 1h;
  c.Start(t0, 1000);
  EXPECT_EQ(c.DueBy(t0 - 1us), 0u);
  EXPECT_EQ(c.DueBy(t0), 1u);  // sample 0 at once
  EXPECT_EQ(c.DueBy(t0 + 999us), 1u);
  EXPECT_EQ(c.DueBy(t0 + 1ms), 2u);
  EXPECT_EQ(c.DueBy(t0 + 1s), 1001u);  // a late wake-up catches up, no drift
  EXPECT_EQ(c.DueAt(5), t0 + 5ms);
  c.ChangePeriod(t0 + 10ms, 10000, 11);
  EXPECT_EQ(c.DueBy(t0 + 10ms), 12u);
  EXPECT_EQ(c.DueAt(12), t0 + 20ms);
  EXPECT_EQ(c.DueBy(t0 + 5ms), 11u);
}

// Records every write the queue makes.
struct Capture {
  std::string bytes;
  std::vector<size_t> writes;
  long limit = 1 << 30;  // bytes accepted per write
  OutputQueue::Sink Sink() {
    return [this](const char* p, size_t n) -> long {
      const size_t take = std::min(n, static_cast<size_t>(limit));
      bytes.append(p, take);
      writes.push_back(take);
      return static_cast<long>(take);
    };
  }
};

TEST(SimOutputQueue, LineEnds) {
  SimConfig cfg;
  OutputQueue q(cfg);
  Capture cap;
  q.PushLine("S", false);
  q.PushLine("1,2", true);
  EXPECT_EQ(q.PendingBytes(), 8u);
  EXPECT_EQ(q.Flush(cap.Sink(), {}), OutputQueue::FlushResult::Done);
  EXPECT_EQ(cap.bytes, "S\r\n1,2\r\n");
  EXPECT_EQ(cap.writes.size(), 1u);  // batched into one write
  EXPECT_EQ(q.LinesWritten(), 2u);
  EXPECT_EQ(q.DataLinesWritten(), 1u);

  cfg.lfCr = true;
  OutputQueue reversed(cfg);
  Capture cap2;
  reversed.PushLine("S", false);
  reversed.Flush(cap2.Sink(), {});
  EXPECT_EQ(cap2.bytes, "S\n\r");
}

TEST(SimOutputQueue, NoiseLinesNeverEndLikeALine) {
  for (uint64_t k = 0; k < 200; ++k) {
    const std::string noise = OutputQueue::NoiseLine(k);
    ASSERT_GE(noise.size(), 2u);
    ASSERT_LE(noise.size(), 17u);
    EXPECT_EQ(noise.back(), '\n');
    EXPECT_EQ(noise.find_first_of("\r\n"), noise.size() - 1) << k;
  }
  SimConfig cfg;
  cfg.noiseEvery = 2;
  OutputQueue q(cfg);
  Capture cap;
  q.PushLine("S", false);
  q.PushLine("V", false);
  q.PushLine("F", false);
  q.PushLine("U", false);
  q.Flush(cap.Sink(), {});
  EXPECT_EQ(cap.bytes, "S\r\n" + OutputQueue::NoiseLine(0) + "V\r\nF\r\n" +
                           OutputQueue::NoiseLine(1) + "U\r\n");
  EXPECT_EQ(q.LinesWritten(), 4u);  // noise is not a line
}

TEST(SimOutputQueue, SplitWritesOneBytePerWriteWithPause) {
  SimConfig cfg;
  cfg.splitWrites = true;
  OutputQueue q(cfg);
  Capture cap;
  q.PushLine("AB", true);
  EXPECT_EQ(q.Flush(cap.Sink(), {}), OutputQueue::FlushResult::Done);
  EXPECT_EQ(cap.bytes, "AB\r\n");
  EXPECT_EQ(cap.writes, (std::vector<size_t>{1, 1, 1, 1}));
  EXPECT_EQ(q.DataLinesWritten(), 1u);

  cfg.splitGapUs = 500;
  OutputQueue paced(cfg);
  Capture cap2;
  const auto t0 = OutputQueue::Clock::time_point{} + 1h;
  paced.PushLine("AB", false);
  EXPECT_EQ(paced.Flush(cap2.Sink(), t0), OutputQueue::FlushResult::Paused);
  EXPECT_EQ(cap2.bytes, "A");
  EXPECT_EQ(paced.ResumeAt(), t0 + 500us);
  EXPECT_EQ(paced.Flush(cap2.Sink(), t0 + 499us), OutputQueue::FlushResult::Paused);
  EXPECT_EQ(cap2.bytes, "A");
  paced.Flush(cap2.Sink(), t0 + 500us);
  EXPECT_EQ(cap2.bytes, "AB");
  EXPECT_EQ(paced.LinesWritten(), 0u);  // the line is not out yet
}

TEST(SimOutputQueue, PartialBlockedAndFailedWrites) {
  SimConfig cfg;
  OutputQueue q(cfg);
  Capture cap;
  cap.limit = 2;
  q.PushLine("12345", true);
  EXPECT_EQ(q.Flush(cap.Sink(), {}), OutputQueue::FlushResult::Done);
  EXPECT_EQ(cap.bytes, "12345\r\n");
  EXPECT_EQ(q.DataLinesWritten(), 1u);

  q.PushLine("678", true);
  cap.limit = 0;  // receiver full
  EXPECT_EQ(q.Flush(cap.Sink(), {}), OutputQueue::FlushResult::Blocked);
  EXPECT_EQ(q.PendingBytes(), 5u);
  EXPECT_EQ(q.DataLinesWritten(), 1u);
  EXPECT_EQ(q.Flush([](const char*, size_t) { return -1L; }, {}),
            OutputQueue::FlushResult::Failed);
  q.Clear();
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.PendingBytes(), 0u);
}

}  // namespace
}  // namespace vozisim
