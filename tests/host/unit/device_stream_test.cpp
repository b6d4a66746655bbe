// One instrument's lines on their way into the CSV: conversion, the place
// in time of each sample, and the sample limit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "acquisition.h"

namespace vozihost {
namespace {

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
  ASSERT_TRUE(s.csv.Open(path, {"Ramp (V)", "Raw"}, &error)) << error;
  const StreamLimits limits{std::nullopt, 2};
  for (const char* line : {"@ 0,5", "@ 327", "@ 32767,-3,", "@ 100,1"}) s.Consume(line, limits);
  ASSERT_TRUE(s.csv.Close(&error));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  // The second line lost a value: it is sample 1, so the next is sample 2.
  EXPECT_EQ(text.str(), "time_s,Ramp (V),Raw\n0.000000,0,5\n0.002000,10,-3\n");
  EXPECT_EQ(s.stats.samples, 2u);
  EXPECT_EQ(s.stats.wrongCount, 1u);
  EXPECT_TRUE(s.done);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace vozihost
