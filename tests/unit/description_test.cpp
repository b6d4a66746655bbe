// The five description lines, the pending bits that tell when the record is
// complete, and the enabled set shared between host threads and the decoder.
#include "vozi/device_description.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using Names = std::vector<std::u16string>;
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

TEST(DeviceDescription, StartsEmptyWithEveryLinePending) {
  DeviceDescription description;
  EXPECT_EQ(description.pending.load(), 0x1F);
  EXPECT_FALSE(description.IsComplete());
  EXPECT_FALSE(description.hasCrc);
  EXPECT_FALSE(description.hasEndOfCycle);
  EXPECT_TRUE(description.names.empty() && description.units.empty() && description.maxima.empty() &&
              description.minima.empty() && description.periods.empty());
  EXPECT_TRUE(description.EnabledChannels().empty());
}

TEST(DeviceDescription, EachParserClearsOnlyItsOwnBit) {
  DeviceDescription description;
  description.parseNamesLine("Time");
  EXPECT_EQ(description.pending.load(), 0x1E);
  description.parseUnitsLine("s");
  EXPECT_EQ(description.pending.load(), 0x1C);
  description.parseMaximaLine("1");
  EXPECT_EQ(description.pending.load(), 0x18);
  description.parseMinimaLine("0");
  EXPECT_EQ(description.pending.load(), 0x10);
  EXPECT_FALSE(description.IsComplete());
  description.parsePeriodLine("");  // even an empty line counts as received
  EXPECT_EQ(description.pending.load(), 0x00);
  EXPECT_TRUE(description.IsComplete());
}

TEST(DeviceDescription, PeriodLineInSecondsBecomesMicroseconds) {
  DeviceDescription description;
  description.parsePeriodLine("EndOfCycle,0.001,0.01,1");
  EXPECT_TRUE(description.hasEndOfCycle);
  // 0.01 as a float times 1e6 is 9999.9998 in double; single precision
  // rounds the product to 10000 before it is truncated.
  EXPECT_EQ(description.periods, (std::vector<int32_t>{1000, 10000, 1000000}));

  DeviceDescription reordered;
  reordered.parsePeriodLine("1,EndOfCycle,0.001");
  EXPECT_TRUE(reordered.hasEndOfCycle);
  EXPECT_EQ(reordered.periods, (std::vector<int32_t>{1000000, 1000}));
}

TEST(DeviceDescription, PeriodOddities) {
  DeviceDescription description;
  description.parsePeriodLine("2.5e-4,x,,3000,-0.0000019,endofcycle");
  EXPECT_FALSE(description.hasEndOfCycle);  // the match is case-sensitive
  // x, the empty field and "endofcycle" are no numbers; 3000 s is beyond the
  // 32-bit range of microseconds; -1.9 us truncates toward zero.
  EXPECT_EQ(description.periods, (std::vector<int32_t>{250, kMin, kMin, kMin, -1, kMin}));
}

TEST(DeviceDescription, NamesLineDropsEveryCrcField) {
  DeviceDescription description;
  description.parseNamesLine("Time,CRC,Temp");
  EXPECT_EQ(description.names, (Names{u"Time", u"Temp"}));
  EXPECT_TRUE(description.hasCrc);

  DeviceDescription first;
  first.parseNamesLine("CRC,a,crc,CRC");
  EXPECT_EQ(first.names, (Names{u"a", u"crc"}));
  EXPECT_TRUE(first.hasCrc);

  DeviceDescription none;
  none.parseNamesLine("Time, CRC,CRC ");  // spaces make them ordinary names
  EXPECT_EQ(none.names, (Names{u"Time", u" CRC", u"CRC "}));
  EXPECT_FALSE(none.hasCrc);
}

TEST(DeviceDescription, NamesKeepEmptyFieldsAndAnsiText) {
  DeviceDescription description;
  description.parseNamesLine(",Temp\xE9rature,\x80");
  // Windows-1252: E9 is e acute, 80 the euro sign.
  EXPECT_EQ(description.names, (Names{u"", u"Temp\u00E9rature", u"\u20AC"}));
}

TEST(DeviceDescription, UnitsLineSkipsNa) {
  DeviceDescription description;
  description.parseUnitsLine("na,degC,bpm,NA,na ");
  EXPECT_EQ(description.units, (Names{u"degC", u"bpm", u"NA", u"na "}));
}

TEST(DeviceDescription, RangeLinesWithNaAndNonNumbers) {
  DeviceDescription description;
  description.parseMaximaLine("na,50,250, 7,7 V,");
  description.parseMinimaLine("na,-10,0,,x");
  EXPECT_EQ(description.maxima, (std::vector<float>{32767.0f, 50.0f, 250.0f, 7.0f, 7.0f}));
  EXPECT_EQ(description.minima, (std::vector<float>{-32767.0f, -10.0f, 0.0f, -3.4028235e38f, -3.4028235e38f}));
}

TEST(DeviceDescription, ParsersAppendToWhatTheListHolds) {
  DeviceDescription description;
  description.parseMaximaLine("1,2");
  description.parseMaximaLine("3");
  EXPECT_EQ(description.maxima, (std::vector<float>{1.0f, 2.0f, 3.0f}));
}

TEST(DeviceDescription, EnabledSetAddsAndRemovesOnce) {
  DeviceDescription description;
  description.EnableChannel(3);
  description.EnableChannel(3);
  description.EnableChannel(-4);
  EXPECT_EQ(description.EnabledChannels(), (std::set<int32_t>{-4, 3}));
  description.DisableChannel(3);
  EXPECT_FALSE(description.IsChannelEnabled(3));
  description.DisableChannel(3);  // absent: nothing happens
  EXPECT_EQ(description.EnabledChannels(), (std::set<int32_t>{-4}));
}

TEST(DeviceDescription, StampMovesOnlyWhenTheSetChanges) {
  DeviceDescription description;
  const uint64_t initial = description.EnabledStamp();
  description.DisableChannel(1);
  EXPECT_EQ(description.EnabledStamp(), initial);
  description.EnableChannel(1);
  const uint64_t afterEnable = description.EnabledStamp();
  EXPECT_NE(afterEnable, initial);
  description.EnableChannel(1);
  EXPECT_EQ(description.EnabledStamp(), afterEnable);
  // Another description never shares a stamp, so a decoder's cached copy of
  // one set can never pass for another's.
  DeviceDescription other;
  EXPECT_NE(other.EnabledStamp(), initial);
  EXPECT_NE(other.EnabledStamp(), afterEnable);
}

TEST(DeviceDescription, CopyEnabledKeepsOnlyIndicesInRange) {
  DeviceDescription description;
  for (int32_t index : {-1, 0, 1, 63, 64, 129, 130, 1000}) description.EnableChannel(index);
  std::vector<uint64_t> bits(10, ~uint64_t{0});  // stale content must go
  const uint64_t stamp = description.CopyEnabled(130, bits);
  EXPECT_EQ(stamp, description.EnabledStamp());
  ASSERT_EQ(bits.size(), 3u);
  EXPECT_EQ(bits[0], (uint64_t{1} << 0) | (uint64_t{1} << 1) | (uint64_t{1} << 63));
  EXPECT_EQ(bits[1], uint64_t{1} << 0);
  EXPECT_EQ(bits[2], uint64_t{1} << 1);  // 129; 130 is outside
  description.CopyEnabled(0, bits);
  EXPECT_TRUE(bits.empty());
}

// Host threads edit the set while the reader thread copies it; under TSan
// this fails on any unguarded access.
TEST(DeviceDescription, ConcurrentEditsAndCopiesAreConsistent) {
  DeviceDescription description;
  std::atomic<bool> done{false};
  std::thread host([&] {
    for (int round = 0; round < 20000; ++round) {
      description.EnableChannel(5);
      description.EnableChannel(6);
      description.DisableChannel(5);
      description.DisableChannel(6);
    }
    done = true;
  });
  std::vector<uint64_t> bits;
  int copies = 0;
  while (!done || copies == 0) {
    description.CopyEnabled(8, bits);
    ASSERT_EQ(bits.size(), 1u);
    // Only 5 and 6 are ever enabled.
    ASSERT_EQ(bits[0] & ~uint64_t{0x60}, 0u);
    ++copies;
  }
  host.join();
  EXPECT_TRUE(description.EnabledChannels().empty());
}

}  // namespace
