// The module's own resources, read from a real PE image: this test program
// carries the library's resource script, so its own module stands in for the
// library's.
#include "platform/module_resources.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include "support/serial_peer.h"

namespace {

class ModuleResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetOwnModule(GetModuleHandleW(nullptr)); }
  void TearDown() override { platform::SetOwnModule(nullptr); }
};

// The control lists come back byte for byte: CR LF kept, no terminator
// added, nothing cut (221 and 347 bytes).
TEST_F(ModuleResourcesTest, ControlListsAreTheSourceFilesByteForByte) {
  const std::string device = wintest::ReadSourceFile(VOZI_DEVICE_CONTROLS_FILE);
  const std::string inputAmp = wintest::ReadSourceFile(VOZI_INPUT_AMP_CONTROLS_FILE);
  ASSERT_EQ(device.size(), 221u);
  ASSERT_EQ(inputAmp.size(), 347u);
  EXPECT_EQ(platform::LoadOwnRcData(103), device);
  EXPECT_EQ(platform::LoadOwnRcData(105), inputAmp);
}

TEST_F(ModuleResourcesTest, MissingResourceOrModuleGivesNothing) {
  EXPECT_EQ(platform::LoadOwnRcData(104), std::nullopt);
  EXPECT_EQ(platform::LoadOwnRcData(1), std::nullopt) << "id 1 is the version block, not RCDATA";
  platform::SetOwnModule(nullptr);
  EXPECT_EQ(platform::OwnModule(), nullptr);
  EXPECT_EQ(platform::LoadOwnRcData(105), std::nullopt);
  EXPECT_FALSE(platform::ReadOwnVersionInfo().found);
}

TEST_F(ModuleResourcesTest, VersionInfoOfTheOwnModule) {
  const platform::OwnVersionInfo info = platform::ReadOwnVersionInfo();
  ASSERT_TRUE(info.found);
  const uint16_t expected[4] = {VOZI_TEST_FV0, VOZI_TEST_FV1, VOZI_TEST_FV2, VOZI_TEST_FV3};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(info.fixedFileVersion[i], expected[i]) << "component " << i;
  EXPECT_EQ(info.fileVersion, std::u16string(u"" VOZI_TEST_FILE_VERSION));
  EXPECT_EQ(info.fileDescription, std::u16string(u"" VOZI_TEST_FILE_DESCRIPTION));
}

}  // namespace
