// ProbeNextDevice over a Linux device root: the sequence of instruments a
// discovery pass finds, what each device is given, and the FTDI driver state
// that the error messages read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "discovery/device_probe.h"
#include "discovery/discovery_state.h"
#include "discovery/ftdi_state.h"
#include "support/device_root.h"

namespace {

using testing_support::DeviceRoot;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class ProbeNextDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseDiscovery(); }
  void TearDown() override { ReleaseDiscovery(); }

  // A built-in port, a non-Vozi FTDI adapter, a lower-case "zor" serial, two
  // instruments (one "D800..."), and a Vozi serial behind a non-FTDI driver.
  void AddMixedPorts() {
    root.AddVirtualTerminal("tty1");
    root.AddBuiltInPort("ttyS0");
    root.AddFtdi("FT9XYZ12");    // ttyUSB0
    root.AddFtdi("zor55555");    // ttyUSB1
    root.AddFtdi("ZOR12345");    // ttyUSB2: remainder 12345A
    vozisim::UsbSerialPortSpec cp210x;
    cp210x.serial = "ZOR88888";
    cp210x.vendorId = "10c4";
    cp210x.productId = "ea60";
    cp210x.driver = "cp210x";
    root.AddUsb(cp210x);         // ttyUSB3: candidate "USB"
    root.AddFtdi("D800123456");  // ttyUSB4: remainder 0123456A
  }

  std::u16string DevPath(const std::string& name) const { return Wide(root.Path() + "/dev/" + name); }

  DeviceRoot root;
};

void ExpectDevice(const std::unique_ptr<OpenKymo::VoziSerial>& device, const std::u16string& path,
                  const std::u16string& description, int32_t uniqueId) {
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->portName, path);
  EXPECT_EQ(device->portDescription, description);
  EXPECT_EQ(device->uniqueId, uniqueId);
  // Found, not started: nothing was opened or sent.
  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(device->handshakeState.Load(), HandshakeState::NotStarted);
  EXPECT_FALSE(device->failed.load());
}

TEST_F(ProbeNextDeviceTest, OnePassFindsEachInstrumentOnceThenReleases) {
  AddMixedPorts();
  auto first = ProbeNextDevice();
  ExpectDevice(first, DevPath("ttyUSB2"), u"12345A", 130);
  ASSERT_NE(CurrentFtdiDriver(), nullptr);
  auto second = ProbeNextDevice();
  ExpectDevice(second, DevPath("ttyUSB4"), u"0123456A", 153641);
  // The end of the pass releases the walk and the driver.
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
  EXPECT_FALSE(CurrentFtdiDriverFlags().exists);
  // The next call starts a new pass: the same instruments again.
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB2"), u"12345A", 130);
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB4"), u"0123456A", 153641);
  EXPECT_EQ(ProbeNextDevice(), nullptr);
}

TEST_F(ProbeNextDeviceTest, ShortVoziSerialNumbersAreNotInstruments) {
  // The instance IDs carry the interface letter after the serial number.
  root.AddFtdi("ZOR");         // ZORA: remainder A, too short for a middle
  root.AddFtdi("D80");         // D80A: not a Vozi prefix
  root.AddFtdi("D800");        // D800A: remainder 0A
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB2"), u"0A", 0);
  EXPECT_EQ(ProbeNextDevice(), nullptr);
}

TEST_F(ProbeNextDeviceTest, InstanceIdWithoutSerialAsksTheFtdiDriverForThePortsSerial) {
  // The adapter's instance ID holds no serial number; the driver, asked for
  // the port's name, knows none either, so the port is passed over.
  root.AddFtdi("");
  root.AddFtdi("ZOR12345");
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB1"), u"12345A", 130);
  EXPECT_FALSE(CurrentFtdiDriverFlags().cannotLoad);
}

TEST_F(ProbeNextDeviceTest, DriverLostDuringAPassIsKeptUntilReleased) {
  root.AddFtdi("ZOR11111");  // ttyUSB0
  root.AddFtdi("");          // ttyUSB1: needs the driver's look-up
  root.AddFtdi("ZOR22222");  // ttyUSB2
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB0"), u"11111A", 43);
  // The driver is being torn down: its registration is no longer a driver
  // folder, while its ports still name it.
  root.RemoveDriver("ftdi_sio");
  std::ofstream(root.Path() + "/sys/bus/usb-serial/drivers/ftdi_sio") << "";
  // The look-up for ttyUSB1 finds the driver gone: that port fails, the walk
  // goes on, and the driver is marked unusable.
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB2"), u"22222A", 86);
  const FtdiDriverFlags flags = CurrentFtdiDriverFlags();
  EXPECT_TRUE(flags.exists);
  EXPECT_TRUE(flags.cannotLoad);
  EXPECT_FALSE(flags.notInstalled);
  // An unusable driver stops every later call before the walk.
  std::filesystem::remove(root.Path() + "/sys/bus/usb-serial/drivers/ftdi_sio");
  root.AddDriver("ftdi_sio");
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_TRUE(CurrentFtdiDriverFlags().cannotLoad);
  ReleaseDiscovery();
  ExpectDevice(ProbeNextDevice(), DevPath("ttyUSB0"), u"11111A", 43);
}

}  // namespace
