// The fake sysfs/dev tree the simulator presents its instruments in, read
// back the way device discovery reads the kernel's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "vozi_sim/device_tree.h"

namespace vozisim {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class SimDeviceTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("vozi-sim-tree-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    target = root / "pty-stand-in";
    std::ofstream(target) << "x";
  }
  void TearDown() override { fs::remove_all(root); }

  UsbSerialPortEntry Add(const UsbSerialPortSpec& adapter = {}) {
    std::string error;
    auto e = AddUsbSerialPort(root.string(), adapter, target.string(), &error);
    EXPECT_TRUE(e) << error;
    return e.value_or(UsbSerialPortEntry{});
  }

  fs::path root;
  fs::path target;
};

TEST_F(SimDeviceTree, LayoutResolvesLikeTheKernels) {
  const UsbSerialPortEntry e = Add();
  EXPECT_EQ(e.ttyName, "ttyUSB0");
  const fs::path cls = root / "sys/class/tty/ttyUSB0";
  ASSERT_TRUE(fs::is_symlink(cls));
  EXPECT_TRUE(fs::path(fs::read_symlink(cls)).is_relative());

  const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  const fs::path port = usb / "1-1:1.0/ttyUSB0";
  EXPECT_EQ(fs::canonical(cls), fs::canonical(port / "tty/ttyUSB0"));
  EXPECT_EQ(fs::read_symlink(cls / "device"), fs::path("../../../ttyUSB0"));
  EXPECT_EQ(fs::canonical(cls / "device"), fs::canonical(port));
  EXPECT_EQ(fs::canonical(cls / "device/driver"),
            fs::canonical(root / "sys/bus/usb-serial/drivers/ftdi_sio"));
  // Interface and USB device are the parents of the port folder.
  EXPECT_EQ(ReadText(cls / "device/../bInterfaceNumber"), "00\n");
  EXPECT_EQ(ReadText(cls / "device/../../idVendor"), "0403\n");
  EXPECT_EQ(ReadText(usb / "idProduct"), "6001\n");
  EXPECT_EQ(ReadText(usb / "serial"), "ZOR12345A\n");
  EXPECT_EQ(ReadText(usb / "manufacturer"), "FTDI\n");
  EXPECT_EQ(ReadText(usb / "product"), "FT232R USB UART\n");
  EXPECT_EQ(fs::read_symlink(root / "dev/ttyUSB0"), target);
  EXPECT_EQ(ReadText(root / "dev/ttyUSB0"), "x");
}

TEST_F(SimDeviceTree, OtherAdaptersAndInterfaces) {
  UsbSerialPortSpec adapter;
  adapter.vendorId = "067b";
  adapter.productId = "2303";
  adapter.manufacturer = "Prolific";
  adapter.driver = "pl2303";
  adapter.interfaceNumber = 1;
  adapter.serial = "";  // adapters without a serial number have no file
  const UsbSerialPortEntry e = Add(adapter);
  const fs::path intf = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.1";
  EXPECT_EQ(ReadText(intf / "bInterfaceNumber"), "01\n");
  EXPECT_EQ(ReadText(intf / "../idVendor"), "067b\n");
  EXPECT_FALSE(fs::exists(intf / "../serial"));
  EXPECT_EQ(fs::canonical(intf / "ttyUSB0/driver"),
            fs::canonical(root / "sys/bus/usb-serial/drivers/pl2303"));
  EXPECT_FALSE(fs::exists(root / "sys/bus/usb-serial/drivers/ftdi_sio"));

  adapter.driver = "";
  const UsbSerialPortEntry noDriver = Add(adapter);
  EXPECT_FALSE(fs::exists(fs::symlink_status(fs::path(noDriver.portDir) / "driver")));
}

TEST_F(SimDeviceTree, NumbersAreTheFirstFreeAndReused) {
  const UsbSerialPortEntry a = Add();
  const UsbSerialPortEntry b = Add();
  EXPECT_EQ(a.ttyIndex, 0);
  EXPECT_EQ(b.ttyIndex, 1);
  EXPECT_EQ(a.usbPort, 1);
  EXPECT_EQ(b.usbPort, 2);
  EXPECT_TRUE(RemoveUsbSerialPort(a));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "sys/class/tty/ttyUSB0")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dev/ttyUSB0")));
  EXPECT_FALSE(fs::exists(a.usbDevice));
  EXPECT_TRUE(fs::exists(b.usbDevice));
  const UsbSerialPortEntry c = Add();
  EXPECT_EQ(c.ttyIndex, 0);
  EXPECT_EQ(c.usbPort, 1);
}

TEST_F(SimDeviceTree, StaleClassLinkIsReplaced) {
  // Left behind by a simulator that died before it could clean up.
  fs::create_directories(root / "sys/class/tty");
  fs::create_symlink("../../devices/gone", root / "sys/class/tty/ttyUSB0");
  const UsbSerialPortEntry e = Add();
  EXPECT_EQ(e.ttyIndex, 0);
  EXPECT_TRUE(fs::exists(root / "sys/class/tty/ttyUSB0/device"));
}

TEST_F(SimDeviceTree, ConcurrentAddsGetDistinctNumbers) {
  constexpr int kThreads = 8;
  std::vector<UsbSerialPortEntry> entries(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      UsbSerialPortSpec adapter;
      adapter.serial = "ZOR" + std::to_string(i);
      entries[i] = AddUsbSerialPort(root.string(), adapter, target.string()).value_or(
          UsbSerialPortEntry{});
    });
  }
  for (auto& t : threads) t.join();
  std::set<int> ttys, ports;
  std::set<std::string> serials;
  for (const auto& e : entries) {
    ttys.insert(e.ttyIndex);
    ports.insert(e.usbPort);
    serials.insert(ReadText(fs::path(e.classLink) / "device/../../serial"));
  }
  EXPECT_EQ(ttys, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(ports.size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(serials.size(), static_cast<size_t>(kThreads));
  for (const auto& e : entries) EXPECT_TRUE(RemoveUsbSerialPort(e));
  EXPECT_TRUE(fs::is_empty(root / "sys/class/tty"));
  EXPECT_TRUE(fs::is_empty(root / "dev"));
}

}  // namespace
}  // namespace vozisim
