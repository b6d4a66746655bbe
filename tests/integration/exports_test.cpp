// The sixteen exports as a host sees them, on an empty device table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/vozi_library.h"

namespace {

using testing_support::VoziLibrary;

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded()) << lib.Error();
    ASSERT_TRUE(lib.Error().empty()) << lib.Error();
    lib.CloseAll();
  }
  VoziLibrary lib{VOZI_LIBRARY_PATH};
};

std::u16string Utf16(const uint16_t* text) {
  std::u16string out;
  while (text && *text) out += static_cast<char16_t>(*text++);
  return out;
}

TEST_F(Exports, DeviceClassInfoGivesTheClassIdAndNamesEveryTime) {
  for (int call = 0; call < 2; ++call) {
    DeviceClassInfo info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(lib.GetDeviceClassInfo(&info), 1);
    const uint8_t expected[16] = {0x67, 0xD2, 0x40, 0xA4, 0xC2, 0xD1, 0x34, 0x4C,
                                  0x8E, 0xE8, 0xA6, 0x42, 0xEB, 0x10, 0xB7, 0x17};
    EXPECT_EQ(std::memcmp(info.classId, expected, 16), 0);
    EXPECT_EQ(Utf16(info.displayName), u"Vozi Devices");
    EXPECT_EQ(Utf16(info.shortName), u"Vozi");
  }
}

TEST_F(Exports, EveryPerDeviceExportAnswersTheFixedValueForNoDevice) {
  for (int32_t index : {0, 1, -1, -7, 1000}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(lib.IsFailed(index), 1);
    EXPECT_EQ(lib.Initialise(index), 0);
    EXPECT_EQ(lib.CanUseBaudRate(index, 9600), 0);
    EXPECT_EQ(lib.GetBaudRate(index), 0);
    EXPECT_EQ(lib.ReadBuffSize(index), 0);
    lib.SetBaudRate(index, 9600);
    lib.FlushReadBuffer(index);
    int32_t id = 4242;
    EXPECT_EQ(lib.GetUniqueID(index, &id), 0);
    EXPECT_EQ(id, 4242);
    char buffer[16] = "untouched";
    EXPECT_EQ(lib.ReadLine(index, buffer, sizeof buffer, 0), 0);
    EXPECT_EQ(lib.ReadBuffer(index, buffer, sizeof buffer, 0), 0);
    EXPECT_STREQ(buffer, "untouched");
    CommandRecord record{};
    EXPECT_EQ(lib.DeviceCommand(index, 0, &record), 0);
    if (index != -1) {
      EXPECT_EQ(lib.GetLastErrorMsg(index, buffer), 0);
    }
  }
  EXPECT_EQ(lib.WriteBuffer(0, "abc", 3), 0);
  EXPECT_EQ(lib.CloseAll(), 1);
}

TEST_F(Exports, NullHostPointersGetTheFailureValue) {
  EXPECT_EQ(lib.GetDeviceClassInfo(nullptr), 0);
  EXPECT_EQ(lib.FindDevice(nullptr), 0);
  EXPECT_EQ(lib.GetUniqueID(0, nullptr), 0);
  EXPECT_EQ(lib.DeviceCommand(0, 0, nullptr), 0);
  EXPECT_EQ(lib.ReadLine(0, nullptr, 10, 0), 0);
}

}  // namespace
