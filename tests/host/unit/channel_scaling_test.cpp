// The way back from 0..32767 to physical units, checked against the
// simulator's own implementation of the enabler's scaling.
#include <gtest/gtest.h>

#include <cmath>

#include "session/channel_scaling.h"
#include "vozi_sim/samples.h"

namespace vozihost {
namespace {

ChannelInfo Ranged(float low, float high) {
  ChannelInfo c;
  c.index = 1;
  c.minimum = low;
  c.maximum = high;
  return c;
}

TEST(ChannelScaling, EndsOfTheScaleAreTheEndsOfTheRange) {
  const ChannelInfo ecg = Ranged(-5, 5);
  EXPECT_DOUBLE_EQ(ToPhysical(0, ecg), -5.0);
  EXPECT_DOUBLE_EQ(ToPhysical(32767, ecg), 5.0);
  EXPECT_NEAR(ToPhysical(16384, ecg), 10.0 / 32767 / 2, 1e-12);  // the middle rounds up
  EXPECT_NEAR(ScaleStep(ecg), 10.0 / 32767, 1e-12);
}

TEST(ChannelScaling, NaRangeIsSymmetricAroundZero) {
  // "na" arrives as -32767..32767: one step is two units, 16384 is +1.
  const ChannelInfo na = Ranged(-32767, 32767);
  EXPECT_DOUBLE_EQ(ToPhysical(16384, na), 1.0);
  EXPECT_DOUBLE_EQ(ToPhysical(0, na), -32767.0);
  EXPECT_DOUBLE_EQ(ScaleStep(na), 2.0);
}

TEST(ChannelScaling, ChannelWithoutBothEndsIsTheRawValue) {
  ChannelInfo none;
  EXPECT_DOUBLE_EQ(ToPhysical(-12, none), -12.0);
  ChannelInfo minOnly;
  minOnly.minimum = 0.0f;  // the enabler does not scale without a maximum
  EXPECT_DOUBLE_EQ(ToPhysical(40000, minOnly), 40000.0);
  EXPECT_DOUBLE_EQ(ToPhysical(7, Ranged(3, 3)), 3.0);  // no scale to undo
}

TEST(ChannelScaling, UndoesTheEnablersScalingWithinOneStep) {
  const ChannelInfo ranges[] = {Ranged(-5, 5), Ranged(0, 250), Ranged(20, 45), Ranged(-0.001f, 0.002f),
                                Ranged(-32767, 32767), Ranged(0, 1e6f)};
  for (const ChannelInfo& c : ranges) {
    for (int k = 0; k <= 200; ++k) {
      const float value = *c.minimum + (*c.maximum - *c.minimum) * static_cast<float>(k) / 200.0f;
      const auto decoded = vozisim::ScaleToDecoded(value, *c.minimum, *c.maximum);
      ASSERT_TRUE(decoded);
      EXPECT_NEAR(ToPhysical(*decoded, c), value, ScaleStep(c) * 0.5 + std::abs(value) * 1e-6)
          << "range " << *c.minimum << ".." << *c.maximum << " value " << value;
    }
  }
}

}  // namespace
}  // namespace vozihost
