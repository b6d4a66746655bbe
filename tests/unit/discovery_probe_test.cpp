// ProbeNextDevice over a Linux device root: the sequence of instruments a
// discovery pass finds, what each device is given, and the FTDI driver state
// that the error messages read.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "discovery/device_probe.h"
#include "discovery/discovery_state.h"
#include "discovery/ftdi_state.h"
#include "platform/serial_port.h"
#include "support/device_root.h"
#include "support/fifo_release.h"
#include "support/pty_pair.h"

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

// A pass costs time in proportion to the ports: a thousand ttys, nine in ten
// of them FTDI adapters without a serial number (each needs the driver's
// look-up of its port), are walked within a generous bound.
TEST_F(ProbeNextDeviceTest, AThousandTtysAreWalkedInBoundedTime) {
  constexpr int kTtys = 1000;
  DeviceRoot many(DeviceRoot::Storage::kMemory);
  for (int i = 0; i < kTtys; ++i) many.AddFtdi(i % 10 == 9 ? "ZOR" + std::to_string(10000 + i) : "");
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto bound = std::chrono::seconds(10);
  // Kept until the pass is timed: destroying a device is not discovery's cost.
  std::vector<std::unique_ptr<OpenKymo::VoziSerial>> found;
  // Checked between calls, so that a slow pass fails near the bound.
  while (auto device = ProbeNextDevice()) {
    found.push_back(std::move(device));
    if (Clock::now() - start > bound) break;
  }
  EXPECT_LT(Clock::now() - start, bound);
  EXPECT_EQ(found.size(), static_cast<size_t>(kTtys / 10));
}

// Trees that a broken or hostile system may present. Each row builds one odd
// adapter beside an instrument; the pass must end in time and find exactly
// the instruments listed, and every device found must open.
TEST_F(ProbeNextDeviceTest, HostileTreesNeitherHangTheWalkNorLeaveTheRoot) {
  namespace fs = std::filesystem;
  std::string outside = (fs::temp_directory_path() / "vozi-outside-XXXXXX").string();
  ASSERT_NE(::mkdtemp(outside.data()), nullptr);
  std::ofstream(outside + "/serial") << "ZOR66666\n";
  testing_support::PtyPair pty;  // what every dev link of the test leads to

  struct Row {
    const char* what;
    // Builds the odd part; returns the FIFOs it made.
    std::function<std::vector<std::string>(DeviceRoot&, const std::string& tty)> build;
    std::vector<std::u16string> found;  // descriptions, in walk order
  };
  auto addFtdi = [](DeviceRoot& r, const std::string& serial, const std::string& tty) {
    vozisim::UsbSerialPortSpec adapter;
    adapter.serial = serial;
    return r.AddUsb(adapter, tty);
  };
  auto replaceSerial = [](const vozisim::UsbSerialPortEntry& e, const std::string& target) {
    fs::remove(e.usbDevice + "/serial");
    fs::create_symlink(target, e.usbDevice + "/serial");
  };
  const std::vector<Row> rows = {
      {"FIFO as the serial number",
       [&](DeviceRoot& r, const std::string& tty) {
         const auto e = addFtdi(r, "ZOR11111", tty);
         testing_support::MakeFifo(e.usbDevice + "/serial");
         return std::vector<std::string>{e.usbDevice + "/serial"};
       },
       {u"12345A"}},
      {"FIFO as the product name of an instrument",
       [&](DeviceRoot& r, const std::string& tty) {
         const auto e = addFtdi(r, "ZOR11111", tty);
         testing_support::MakeFifo(e.usbDevice + "/product");
         return std::vector<std::string>{e.usbDevice + "/product"};
       },
       {u"11111A", u"12345A"}},
      {"serial link to a file outside the root, absolute",
       [&](DeviceRoot& r, const std::string& tty) {
         replaceSerial(addFtdi(r, "FT000001", tty), outside + "/serial");
         return std::vector<std::string>{};
       },
       {u"12345A"}},
      {"serial link climbing out of the root",
       [&](DeviceRoot& r, const std::string& tty) {
         std::string up;
         for (int i = 0; i < 64; ++i) up += "../";
         replaceSerial(addFtdi(r, "FT000001", tty), up + outside.substr(1) + "/serial");
         return std::vector<std::string>{};
       },
       {u"12345A"}},
      {"serial link that stays inside the root",
       [&](DeviceRoot& r, const std::string& tty) {
         const auto e = addFtdi(r, "FT000001", tty);
         std::ofstream(r.Path() + "/sys/kept-serial") << "ZOR77777\n";
         replaceSerial(e, fs::path(r.Path() + "/sys/kept-serial").lexically_relative(e.usbDevice).string());
         return std::vector<std::string>{};
       },
       {u"77777A", u"12345A"}},
      {"tty name that is not UTF-8",
       [&](DeviceRoot& r, const std::string& tty) {
         const auto e = addFtdi(r, "ZOR22222", tty);
         const std::string odd = "ttyUSB\xE9\xFF";
         fs::rename(e.classLink, r.Path() + "/sys/class/tty/" + odd);
         fs::rename(e.devLink, r.Path() + "/dev/" + odd);
         return std::vector<std::string>{};
       },
       {u"12345A", u"22222A"}},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    DeviceRoot hostile;
    const std::vector<std::string> fifos = row.build(hostile, pty.SlavePath());
    addFtdi(hostile, "ZOR12345", pty.SlavePath());
    ReleaseDiscovery();
    std::vector<std::unique_ptr<OpenKymo::VoziSerial>> devices;
    const bool inTime = testing_support::EndsWithin(
        std::chrono::seconds(10),
        [&] {
          while (auto device = ProbeNextDevice()) devices.push_back(std::move(device));
        },
        fifos);
    EXPECT_TRUE(inTime) << "the pass waited on a FIFO";
    std::vector<std::u16string> found;
    for (const auto& device : devices) {
      found.push_back(device->portDescription);
      platform::SerialPort port;
      EXPECT_TRUE(port.Open(device->portName)) << "found but cannot be opened";
    }
    EXPECT_EQ(found, row.found);
  }
  fs::remove_all(outside);
}

}  // namespace
