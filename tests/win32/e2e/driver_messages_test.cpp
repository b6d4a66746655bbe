// The messages a host shows when the FTDI driver is missing or broken, from
// Vozi.kycdll loaded under Wine: exact bytes, line feeds as 0x0A, and the
// length that counts the terminating zero. run-e2e-tests runs each suite with
// the system folder arranged for it:
//   WineNoFtdiDriver          no ftd2xx.dll in system32
//   WineIncompleteFtdiDriver  an ftd2xx.dll without FT_GetComPortNumber
#include <string>

#include "e2e/e2e_host.h"
#include "e2e/wine_machine.h"

namespace {

constexpr char kNotInstalled[] =
    "The Vozi Device driver is not installed.\nPlease plug in your Vozi Device and restart Kymora.\n"
    "\nRefer to the Vozi Device Enabler Installation Guide\nif you continue to see this message.";
constexpr char kNotFound[] = "The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora.";

class DriverMessages : public e2e::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // An instrument is there: only the driver keeps the library from it.
    e2e::PresentInterfaces({{e2e::kVoziInstanceId, L"\\\\.\\COM7"}});
    // The double's log tells whether discovery walked the interfaces.
    ASSERT_NE(e2e::TakeSetupApiLog().substr(0, 4), L"<not") << "the SETUPAPI.DLL double is not in use";
  }
};

class WineNoFtdiDriver : public DriverMessages {};
class WineIncompleteFtdiDriver : public DriverMessages {};

TEST_F(WineNoFtdiDriver, DiscoveryStopsBeforeTheWalkAndSaysTheDriverIsNotInstalled) {
  int32_t index = 77;
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(index, 77);
  const std::wstring walk = e2e::TakeSetupApiLog();
  EXPECT_EQ(walk.find(L"GetClassDevs"), std::wstring::npos) << "no interface was examined\n" << walk;

  int32_t length = 0;
  const std::string message = Message(-1, &length);
  EXPECT_EQ(length, 183);
  EXPECT_EQ(message.size(), 182u);
  EXPECT_EQ(message, kNotInstalled);
  EXPECT_EQ(message.find('\r'), std::string::npos) << "line feeds only";

  // CloseAll releases the driver state: the failure is no longer known until
  // the next discovery tries the driver again.
  fn().CloseAll();
  EXPECT_EQ(Message(-1), kNotFound);
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(Message(-1), kNotInstalled);
}

TEST_F(WineIncompleteFtdiDriver, ADriverWithoutAnEntryPointCannotBeLoaded) {
  int32_t index = 77;
  EXPECT_EQ(fn().FindDevice(&index), 0);
  EXPECT_EQ(index, 77);
  const std::wstring walk = e2e::TakeSetupApiLog();
  EXPECT_EQ(walk.find(L"GetClassDevs"), std::wstring::npos) << walk;
  int32_t length = 0;
  EXPECT_EQ(Message(-1, &length), "The Vozi Device driver cannot be loaded.");
  EXPECT_EQ(length, 41);
}

}  // namespace
