// One instrument's lines on their way into the CSV: conversion, the place
// in time of each sample, and the sample limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "session/acquisition.h"

namespace vozihost {
namespace {

// --seconds counts sample time: 5 s at a period of 1 s is the samples at
// 0..4 s, however the lines happen to arrive.
TEST(DeviceStream, TimeLimitIsSampleTime) {
  DeviceStream s;
  s.columns = {ChannelInfo{}};
  s.scaled = {false};
  s.periodUs = 1000000;
  const StreamLimits limits{5.0, std::nullopt};
  for (int n = 0; n < 8; ++n) s.Consume("@ 1", limits);
  EXPECT_EQ(s.stats.samples, 5u);
  EXPECT_TRUE(s.done);
}

TEST(DeviceStream, DamagedLinesKeepTheirPlaceInTimeAndTheLimitCountsGoodSamples) {
  const auto path = std::filesystem::temp_directory_path() / "vozi_host_device_stream_test.csv";
  DeviceStream s;
  ChannelInfo ramp;
  ramp.index = 4;
  ramp.minimum = 0.0f;
  ramp.maximum = 10.0f;
  ChannelInfo raw;  // no range: the value as sent
  raw.index = 5;
  s.columns = {ramp, raw};
  s.scaled = {true, false};
  s.periodUs = 1000;
  std::string error;
  ASSERT_TRUE(s.csv.Open(path, &error)) << error;
  s.csv.WriteHeader({}, {"Ramp (V)", "Raw"}, true);
  const StreamLimits limits{std::nullopt, 2};
  for (const char* line : {"@ 0,5", "@ 327", "@ 32767,-3,", "@ 100,1"}) s.Consume(line, limits);
  ASSERT_TRUE(s.csv.Close(&error));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  // The second line lost a value: it is sample 1, so the next is sample 2,
  // and its row says that one sample before it is missing.
  EXPECT_EQ(text.str(), "time_s,Ramp (V),Raw,gap\n0.000000,0,5,0\n0.002000,10,-3,1\n");
  EXPECT_EQ(s.stats.samples, 2u);
  EXPECT_EQ(s.stats.wrongCount, 1u);
  EXPECT_TRUE(s.done);
  EXPECT_TRUE(s.stats.Lost());
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace vozihost
