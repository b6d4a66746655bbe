// FindDevice, GetUniqueID, CloseAll and GetLastErrorMsg(-1) through
// libvozi.so, over a device root holding a mix of serial ports.
#include <gtest/gtest.h>

#include <vector>

#include "support/device_root.h"
#include "support/vozi_library.h"

namespace {

using testing_support::DeviceRoot;
using testing_support::VoziLibrary;

constexpr int32_t kNotFoundLength = 85;
constexpr int32_t kNotInstalledLength = 183;

class DiscoveryExports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib.Loaded()) << lib.Error();
    lib.CloseAll();
  }
  void TearDown() override { lib.CloseAll(); }

  void AddMixedPorts() {
    root.AddBuiltInPort("ttyS0");
    root.AddFtdi("FT9XYZ12");    // ttyUSB0: some other product
    root.AddFtdi("zor55555");    // ttyUSB1: lower case is not Vozi
    root.AddFtdi("ZOR12345");    // ttyUSB2
    root.AddFtdi("D800123456");  // ttyUSB3
  }

  // FindDevice's result and the index it wrote (-99 when it wrote none).
  std::pair<int32_t, int32_t> Find() {
    int32_t index = -99;
    const int32_t found = lib.FindDevice(&index);
    return {found, index};
  }

  int32_t UniqueId(int32_t index) {
    int32_t id = -99;
    EXPECT_EQ(lib.GetUniqueID(index, &id), 1) << index;
    return id;
  }

  DeviceRoot root;
  VoziLibrary lib{VOZI_LIBRARY_PATH};
};

using Found = std::pair<int32_t, int32_t>;

TEST_F(DiscoveryExports, PassesAppendIndicesAndCloseAllStartsOver) {
  AddMixedPorts();
  EXPECT_EQ(Find(), Found(1, 0));
  EXPECT_EQ(Find(), Found(1, 1));
  EXPECT_EQ(Find(), Found(0, -99));  // end of the pass: nothing written
  EXPECT_EQ(UniqueId(0), 130);       // remainder 12345A
  EXPECT_EQ(UniqueId(1), 153641);    // remainder 0123456A
  // The devices are found, not started.
  EXPECT_EQ(lib.IsFailed(0), 0);
  EXPECT_EQ(lib.ReadBuffSize(1), 0);
  // A second pass appends the same instruments again.
  EXPECT_EQ(Find(), Found(1, 2));
  EXPECT_EQ(Find(), Found(1, 3));
  EXPECT_EQ(Find(), Found(0, -99));
  EXPECT_EQ(UniqueId(2), 130);
  EXPECT_EQ(UniqueId(3), 153641);

  EXPECT_EQ(lib.CloseAll(), 1);
  int32_t id = -5;
  EXPECT_EQ(lib.GetUniqueID(0, &id), 0);
  EXPECT_EQ(id, -5);
  EXPECT_EQ(Find(), Found(1, 0));
  EXPECT_EQ(UniqueId(0), 130);
}

TEST_F(DiscoveryExports, CloseAllInTheMiddleOfAPassRestartsTheWalk) {
  AddMixedPorts();
  EXPECT_EQ(Find(), Found(1, 0));
  lib.CloseAll();
  EXPECT_EQ(Find(), Found(1, 0));
  EXPECT_EQ(UniqueId(0), 130);  // the first instrument again, not the second
}

TEST_F(DiscoveryExports, NoFtdiDriverGivesTheDriverMessageUntilCloseAll) {
  AddMixedPorts();
  root.RemoveDriver("ftdi_sio");
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(Find(), Found(0, -99));
    int32_t length = 0;
    const std::string text = lib.LastErrorMessage(-1, &length);
    EXPECT_EQ(length, kNotInstalledLength);
    EXPECT_EQ(text.rfind("The Vozi Device driver is not installed.\n", 0), 0u) << text;
  }
  root.AddDriver("ftdi_sio");
  EXPECT_EQ(Find(), Found(0, -99)) << "the failed driver is kept until CloseAll";
  EXPECT_EQ(lib.GetLastErrorMsg(-1, nullptr), kNotInstalledLength);
  lib.CloseAll();
  EXPECT_EQ(lib.GetLastErrorMsg(-1, nullptr), kNotFoundLength);
  EXPECT_EQ(Find(), Found(1, 0));
}

TEST_F(DiscoveryExports, PassThatFindsNothingReportsNotFound) {
  root.AddDriver("ftdi_sio");
  root.AddBuiltInPort("ttyS0");
  root.AddFtdi("FT9XYZ12");
  EXPECT_EQ(Find(), Found(0, -99));
  EXPECT_EQ(lib.GetLastErrorMsg(-1, nullptr), kNotFoundLength);
  // Each call is a new pass; a port plugged in meanwhile is found.
  root.AddFtdi("ZOR12345");
  EXPECT_EQ(Find(), Found(1, 0));
}

}  // namespace
