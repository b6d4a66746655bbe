// Data lines into ring text, byte for byte: the enabled fields, scaling with
// rounding at the half and clamping, "*", fields without a range, lines with
// too few fields, and the enabled set changing while lines are decoded.
#include "vozi/sample_decoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "serial/vozi_serial.h"
#include "support/receive_ring_access.h"
#include "support/recording_protocol.h"
#include "vozi/device_description.h"

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// A description with four fields ranged 0..100 unless told otherwise.
struct Decoding {
  DeviceDescription description;
  SampleDecoder decoder;
  std::string text;

  explicit Decoding(std::string_view names = "t,a,b,c", std::string_view maxima = "100,100,100,100",
                    std::string_view minima = "0,0,0,0") {
    description.parseNamesLine(names);
    description.parseMaximaLine(maxima);
    description.parseMinimaLine(minima);
  }
  Decoding& Enable(std::initializer_list<int32_t> indices) {
    for (int32_t index : indices) description.EnableChannel(index);
    return *this;
  }
  std::optional<std::string> Decode(std::string_view line, int32_t channelCount = 4) {
    if (!decoder.decodeDataLine(line, channelCount, description, text)) return std::nullopt;
    return text;
  }
};

TEST(SampleDecoder, ScalesEnabledFieldsRoundingHalfUp) {
  Decoding d;
  d.Enable({1, 2, 3});
  // 50 of 0..100 scales to 16383.5, which rounds up.
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ 0,16384,32767\n");
  // 8191.75 and 24575.25: nearest, not truncated.
  EXPECT_EQ(d.Decode("7,25,75,100"), "@ 8192,24575,32767\n");
}

TEST(SampleDecoder, ScalingIsSinglePrecision) {
  Decoding d;
  d.Enable({1});
  // 11.0065002 scales to exactly 3606.5 in single precision, to 3606.49994
  // in double precision.
  EXPECT_EQ(d.Decode("0,11.0065002,0,0"), "@ 3607,\n");
}

TEST(SampleDecoder, OnlyEnabledFieldsAndTheLastOneHasNoComma) {
  Decoding d;
  d.Enable({1, 2});
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ 0,16384,\n");
  Decoding last;
  last.Enable({3});
  EXPECT_EQ(last.Decode("7,0,50,100"), "@ 32767\n");
}

TEST(SampleDecoder, NothingEnabledGivesAnEmptyLine) {
  Decoding d;
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ \n");
}

TEST(SampleDecoder, StarIsZeroWithItsOwnComma) {
  Decoding d;
  d.Enable({1, 2, 3});
  EXPECT_EQ(d.Decode("7,0,*,100"), "@ 0,0,32767\n");
  EXPECT_EQ(d.Decode("7,0,50,*"), "@ 0,16384,0,\n");
  // Only a field that is exactly "*".
  EXPECT_EQ(d.Decode("7,0, *,*x"), "@ 0,0,0\n");
}

TEST(SampleDecoder, ClampsToTheRange) {
  Decoding d("t,a,b,c", "100,100,250,100", "0,0,-10,0");
  d.Enable({1, 2, 3});
  EXPECT_EQ(d.Decode("0,-5,1e30,x"), "@ 0,32767,0\n");  // not a number: the minimum
  EXPECT_EQ(d.Decode("0,100.0001,-10,-1e30"), "@ 32767,0,0\n");
}

TEST(SampleDecoder, NaRangesPutZeroInTheMiddle) {
  Decoding d("t,a", "na,na", "na,na");
  d.Enable({1});
  EXPECT_EQ(d.Decode("0,0", 2), "@ 16384\n");
  EXPECT_EQ(d.Decode("0,-32767", 2), "@ 0\n");
  EXPECT_EQ(d.Decode("0,32767", 2), "@ 32767\n");
}

TEST(SampleDecoder, FieldsWithoutMinimumAreTruncated) {
  Decoding d("t,a,b,c", "100,100,100,100", "0,0");
  d.Enable({2, 3});
  EXPECT_EQ(d.Decode("0,0,12.9,-12.9"), "@ 12,-12\n");
  EXPECT_EQ(d.Decode("0,0,x,3e9"), "@ -2147483648,-2147483648\n");
  EXPECT_EQ(d.Decode("0,0,2147483520,-2147483648"), "@ 2147483520,-2147483648\n");
  EXPECT_EQ(d.Decode("0,0,-0.9,0"), "@ 0,0\n");
}

TEST(SampleDecoder, MinimumWithoutMaximumIsWrittenUnscaled) {
  Decoding d("t,a,b,c", "100,100", "0,0,0,0");
  d.Enable({1, 2, 3});
  EXPECT_EQ(d.Decode("0,50,250.7,-3.2"), "@ 16384,250,-3\n");
}

TEST(SampleDecoder, EqualRangeEndsScaleToZero) {
  Decoding d("t,a,b", "5,5,-1", "5,5,-1");
  d.Enable({1, 2});
  EXPECT_EQ(d.Decode("0,7,-100", 3), "@ 0,0\n");
}

TEST(SampleDecoder, DegenerateRangesStayDefined) {
  EXPECT_EQ(ScaleToFullRange(1.0f, 2.0f, 0.0f), 0);      // inverted: below the minimum
  EXPECT_EQ(ScaleToFullRange(3.0f, 2.0f, 0.0f), 32767);  // inverted: above it
  constexpr float kLowest = std::numeric_limits<float>::lowest();
  constexpr float kMax = std::numeric_limits<float>::max();
  // A span that overflows a float still scales to the nearest integer.
  EXPECT_EQ(ScaleToFullRange(0.0f, kLowest, kMax), 16384);
  EXPECT_EQ(ScaleToFullRange(kMax, kLowest, kMax), 32767);
  EXPECT_EQ(ScaleToFullRange(kLowest, kLowest, kMax), 0);
}

TEST(SampleDecoder, LineWithTooFewFieldsWritesNothing) {
  Decoding d;
  d.Enable({1});
  EXPECT_EQ(d.Decode("7,0,50"), std::nullopt);
  EXPECT_EQ(d.Decode("7,0,50,"), std::nullopt);  // the trailing comma adds no field
  EXPECT_EQ(d.Decode(""), std::nullopt);
  // More fields than the format line announced are fine; they are not written.
  EXPECT_EQ(d.Decode("7,0,50,100,CRC9"), "@ 0,\n");
  // A line shorter than the names (which the handshake's channel check rules
  // out) is dropped rather than read past its end.
  EXPECT_EQ(d.Decode("7,0,50", 2), std::nullopt);
}

TEST(SampleDecoder, IndicesOutsideTheNamesHaveNoEffect) {
  Decoding d;
  d.Enable({0, 4, 5, -1, 1000});
  EXPECT_EQ(d.Decode("7,0,50,100,9,9", 6), "@ \n");
  Decoding single("t", "1", "0");
  single.Enable({0, 1});
  EXPECT_EQ(single.Decode("7", 1), "@ \n");
}

TEST(SampleDecoder, SeesEveryChangeOfTheSetAndOfTheDescription) {
  Decoding d;
  d.Enable({1});
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ 0,\n");
  d.description.EnableChannel(3);
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ 0,32767\n");
  d.description.DisableChannel(1);
  EXPECT_EQ(d.Decode("7,0,50,100"), "@ 32767\n");
  // The same decoder on another description uses that one's set.
  DeviceDescription other;
  other.parseNamesLine("t,a,b,c");
  other.EnableChannel(2);
  EXPECT_TRUE(d.decoder.decodeDataLine("7,0,50,100", 4, other, d.text));
  EXPECT_EQ(d.text, "@ 50,\n");  // that one has no ranges
}

// The device step: the decoded text goes into the device's ring as a whole.
struct StreamingDevice {
  testing_support::RecordingWriter writer;  // outlives the device's stop frame
  OpenKymo::VoziSerial device{u"/nonexistent/vozi", 1, u"x", &writer};
  std::shared_ptr<DeviceDescription> description = std::make_shared<DeviceDescription>();
  SampleDecoder decoder;

  StreamingDevice() {
    device.NewReceiveRing();
    description->parseNamesLine("t,a,b,c");
    description->parseMaximaLine("100,100,100,100");
    description->parseMinimaLine("0,0,0,0");
    device.InstallDescription(description);
    device.channelCount = 4;
  }
  void Decode(std::string_view line) { EXPECT_EQ(decoder.decodeDataLine(device, line), kS_OK); }
  std::string Drain() {
    static uint8_t buffer[ReceiveRing::kCapacity];
    int32_t count = ReceiveRing::kCapacity;
    if (!device.ReadBuffer(buffer, count, 0)) return "";
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
  }
};

TEST(SampleDecoderDevice, AppendsEachLineToTheRing) {
  StreamingDevice s;
  s.description->EnableChannel(2);
  s.Decode("1,0,50,100");
  s.Decode("1,0,50");  // too few fields: nothing at all
  s.Decode("2,0,100,100");
  EXPECT_EQ(s.Drain(), "@ 16384,\n@ 32767,\n");
}

TEST(SampleDecoderDevice, ALineThatDoesNotFitIsDroppedWhole) {
  StreamingDevice s;
  s.description->EnableChannel(1);
  s.description->EnableChannel(2);
  s.description->EnableChannel(3);
  ReceiveRing& ring = *s.device.Ring();
  // 65530 bytes held: room for 5 more.
  ReceiveRingTestAccess::SetPositions(ring, 0, ReceiveRing::kCapacity - 6);
  s.Decode("1,0,50,100");  // 16 bytes
  EXPECT_EQ(ring.Size(), ReceiveRing::kCapacity - 6);
  EXPECT_EQ(ring.DroppedLines(), 1u);
  s.description->DisableChannel(1);
  s.description->DisableChannel(2);
  s.description->DisableChannel(3);
  s.Decode("1,0,50,100");  // "@ \n" fits
  EXPECT_EQ(ring.Size(), ReceiveRing::kCapacity - 3);
  EXPECT_EQ(ring.DroppedLines(), 1u);
}

TEST(SampleDecoderDevice, NoDescriptionOrNoRingWritesNothing) {
  testing_support::RecordingWriter writer;
  OpenKymo::VoziSerial device{u"/nonexistent/vozi", 1, u"x", &writer};
  SampleDecoder decoder;
  EXPECT_EQ(decoder.decodeDataLine(device, "1,2,3"), kS_OK);  // no ring, no description
  device.NewReceiveRing();
  EXPECT_EQ(decoder.decodeDataLine(device, "1,2,3"), kS_OK);
  EXPECT_EQ(device.ReadBuffSize(), 0);
}

// The host enables and disables a channel while the reader thread decodes.
// Every line must come out whole, with or without that channel; under TSan
// any unguarded access to the set fails the run.
TEST(SampleDecoderDevice, EnableAndDisableWhileDecoding) {
  StreamingDevice s;
  s.description->EnableChannel(1);
  s.description->EnableChannel(3);
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int round = 0; round < 5000; ++round) {
      s.description->EnableChannel(2);
      s.description->DisableChannel(2);
    }
    done = true;
  });
  int lines = 0;
  while (!done || lines == 0) {
    s.Decode("7,0,50,100");
    const std::string text = s.Drain();
    ASSERT_TRUE(text == "@ 0,16384,32767\n" || text == "@ 0,32767\n") << text;
    ++lines;
  }
  host.join();
  s.Decode("7,0,50,100");
  EXPECT_EQ(s.Drain(), "@ 0,32767\n");
}

}  // namespace
