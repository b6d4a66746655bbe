// "vozi-host list" against simulated instruments.
#include <gtest/gtest.h>

#include <algorithm>

#include "host_process.h"

namespace hosttest {
namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(HostList, ShowsEveryInstrumentWithIdentityPeriodsAndChannels) {
  TempFolder t;
  const HostRun run = RunHost({"list", "--probe", "--simulate=2"}, t.Path(), {{"TMPDIR", t.Path().string()}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Vozi Devices (Vozi): 2 instruments");
  EXPECT_TRUE(Has(lines, "device 0"));
  EXPECT_TRUE(Has(lines, "device 1"));
  // The description is the adapter's serial number without "ZOR"; the
  // simulators' serials differ in their middle, and so do the identifiers.
  std::vector<std::string> ids, descriptions;
  for (const std::string& l : lines) {
    if (l.rfind("  unique id:      ", 0) == 0) ids.push_back(l.substr(18));
    if (l.rfind("  description:    ", 0) == 0) descriptions.push_back(l.substr(18));
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[0], "-");
  ASSERT_EQ(descriptions.size(), 2u);
  EXPECT_EQ(descriptions[0].rfind("12105A", 0), 0u) << descriptions[0];
  EXPECT_EQ(descriptions[1].rfind("12115A", 0), 0u) << descriptions[1];
  // What the simulator says about itself, through the library's commands.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  model:          VZ-8"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "  firmware:       1.1.0.1"), 2);
  // In the instrument's own order, as acquire's messages and Python list them.
  EXPECT_TRUE(Has(lines, "  sample periods: 1 ms, 2 ms, 5 ms, 10 ms, 100 ms, 1 s  "
                         "(us: 1000,2000,5000,10000,100000,1000000)"));
  EXPECT_TRUE(Has(lines, "  channels:       5"));
  EXPECT_TRUE(Has(lines, "    #  name     units  minimum  maximum"));
  EXPECT_TRUE(Has(lines, "    1  ECG      mV     -5       5"));
  EXPECT_TRUE(Has(lines, "    2  Pulse    bpm    0        250"));
  EXPECT_TRUE(Has(lines, "    3  Temp     degC   20       45"));
  EXPECT_TRUE(Has(lines, "    4  Ramp     V      0        10"));
  EXPECT_TRUE(Has(lines, "    5  Counter  count  0        32767"));
}

}  // namespace
}  // namespace hosttest
