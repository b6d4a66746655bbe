// The Linux port walk over a device root laid out as the kernel lays out
// sysfs: which ttys are walked, in which order, and what each yields.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/ftdi_driver.h"
#include "platform/port_walk.h"
#include "platform/posix/sysfs_tree.h"
#include "support/device_root.h"

namespace {

using platform::sysfs::NameOrderLess;
using testing_support::DeviceRoot;

struct Seen {
  std::u16string instanceId;
  std::u16string devicePath;
  std::u16string manufacturer;
  std::u16string friendlyName;
};

std::vector<Seen> Walk() {
  std::vector<Seen> seen;
  auto walk = platform::NewPortEnumerator();
  while (walk->MoveNext()) {
    Seen s;
    s.instanceId = walk->GetInstanceId();
    EXPECT_TRUE(walk->GetDevicePath(s.devicePath));
    s.manufacturer = walk->GetManufacturer();
    s.friendlyName = walk->GetFriendlyName();
    seen.push_back(s);
  }
  // Once over, the walk stays over.
  EXPECT_FALSE(walk->MoveNext());
  return seen;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::vector<std::u16string> InstanceIds() {
  std::vector<std::u16string> ids;
  for (const Seen& s : Walk()) ids.push_back(s.instanceId);
  return ids;
}

TEST(SysfsPortWalk, OnlyUsbInterfacesAreWalkedWithWindowsStyleInstanceIds) {
  DeviceRoot root;
  root.AddVirtualTerminal("tty0");
  root.AddBuiltInPort("ttyS0");
  root.AddFtdi("FT9XYZ12");  // ttyUSB0
  vozisim::UsbSerialPortSpec cp210x;
  cp210x.serial = "ZOR99999";
  cp210x.vendorId = "10c4";
  cp210x.productId = "ea60";
  cp210x.manufacturer = "Silicon Labs";
  cp210x.product = "CP2102 USB to UART Bridge Controller";
  cp210x.driver = "cp210x";
  root.AddUsb(cp210x);  // ttyUSB1
  root.AddFtdi("ZOR12345", 1);  // ttyUSB2, second channel of its chip

  const std::vector<Seen> seen = Walk();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].instanceId, u"FTDIBUS\\VID_0403+PID_6001+FT9XYZ12A\\0000");
  EXPECT_EQ(seen[0].devicePath, Wide(root.Path() + "/dev/ttyUSB0"));
  EXPECT_EQ(seen[0].manufacturer, u"FTDI");
  EXPECT_EQ(seen[0].friendlyName, u"FT232R USB UART");
  // Other drivers: the USB bus's own form, hex digits in upper case.
  EXPECT_EQ(seen[1].instanceId, u"USB\\VID_10C4&PID_EA60\\ZOR99999");
  EXPECT_EQ(seen[1].devicePath, Wide(root.Path() + "/dev/ttyUSB1"));
  EXPECT_EQ(seen[1].manufacturer, u"Silicon Labs");
  EXPECT_EQ(seen[2].instanceId, u"FTDIBUS\\VID_0403+PID_6001+ZOR12345B\\0000");
}

TEST(SysfsPortWalk, NoPortsOrNoTtyClassIsAnEmptyWalk) {
  DeviceRoot root;
  EXPECT_TRUE(Walk().empty());
  root.AddBuiltInPort("ttyS0");
  EXPECT_TRUE(Walk().empty());
  std::filesystem::remove_all(root.Path() + "/sys");
  EXPECT_TRUE(Walk().empty());
}

TEST(SysfsPortWalk, AdapterWithoutSerialNumberLeavesNoSerialInItsInstanceId) {
  DeviceRoot root;
  root.AddFtdi("");
  vozisim::UsbSerialPortSpec other;
  other.serial = "";
  other.vendorId = "067b";
  other.productId = "2303";
  other.driver = "pl2303";
  const auto entry = root.AddUsb(other);
  const auto ids = InstanceIds();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], u"FTDIBUS\\VID_0403+PID_6001+\\0000");
  // Without a serial number the device is known by its place on the bus.
  const std::string usbName = std::filesystem::path(entry.usbDevice).filename().string();
  EXPECT_EQ(ids[1], u"USB\\VID_067B&PID_2303\\" + Wide(usbName));
}

TEST(SysfsPortWalk, NamesAreWalkedInOrderWithNumbersComparedByValue) {
  DeviceRoot root;
  for (int i = 0; i < 11; ++i) root.AddFtdi("SER" + std::to_string(i));
  root.AddVirtualTerminal("ttyACM9");  // not USB: left out
  const auto seen = Walk();
  ASSERT_EQ(seen.size(), 11u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].devicePath, Wide(root.Path() + "/dev/ttyUSB" + std::to_string(i)));
    EXPECT_EQ(seen[i].instanceId,
              u"FTDIBUS\\VID_0403+PID_6001+SER" + Wide(std::to_string(i)) + u"A\\0000");
  }
}

TEST(SysfsPortWalk, NameOrder) {
  EXPECT_TRUE(NameOrderLess("ttyUSB2", "ttyUSB10"));
  EXPECT_FALSE(NameOrderLess("ttyUSB10", "ttyUSB2"));
  EXPECT_TRUE(NameOrderLess("ttyACM0", "ttyS0"));
  EXPECT_TRUE(NameOrderLess("tty", "tty0"));
  EXPECT_FALSE(NameOrderLess("ttyUSB1", "ttyUSB1"));
  // Equal values: fewer leading zeros first, so the order stays strict.
  EXPECT_TRUE(NameOrderLess("ttyUSB1", "ttyUSB01"));
  EXPECT_FALSE(NameOrderLess("ttyUSB01", "ttyUSB1"));
}

TEST(SysfsPortWalk, AbsoluteLinksInsideTheRootLeadToTheSamePorts) {
  for (bool spellRoot : {false, true}) {
    SCOPED_TRACE(spellRoot ? "root spelled out" : "inside the root");
    DeviceRoot root;
    const auto vozi = root.AddFtdi("ZOR12345");
    const auto other = root.AddFtdi("FT9XYZ12");
    root.AddBuiltInPort("ttyS1");
    const std::vector<Seen> before = Walk();
    root.MakeLinkAbsolute(vozi.classLink, spellRoot);
    root.MakeLinkAbsolute(vozi.portDir + "/tty/" + vozi.ttyName + "/device", spellRoot);
    root.MakeLinkAbsolute(vozi.portDir + "/driver", spellRoot);
    root.MakeLinkAbsolute(other.classLink, spellRoot);
    root.MakeLinkAbsolute(root.Path() + "/sys/class/tty/ttyS1", spellRoot);
    const std::vector<Seen> after = Walk();
    ASSERT_EQ(after.size(), 2u);
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(after[0].instanceId, u"FTDIBUS\\VID_0403+PID_6001+ZOR12345A\\0000");
    EXPECT_EQ(after[0].instanceId, before[0].instanceId);
    EXPECT_EQ(after[1].instanceId, before[1].instanceId);
    EXPECT_EQ(after[0].devicePath, before[0].devicePath);
  }
}

TEST(SysfsPortWalk, LinksThatLoopOrDangleLeaveThePortOut) {
  DeviceRoot root;
  root.AddFtdi("ZOR11111");
  const auto looped = root.AddFtdi("ZOR22222");
  const auto dangling = root.AddFtdi("ZOR33333");
  namespace fs = std::filesystem;
  const std::string device = looped.portDir + "/tty/" + looped.ttyName + "/device";
  fs::remove(device);
  fs::create_symlink("loop-b", device);
  fs::create_symlink("device", looped.portDir + "/tty/" + looped.ttyName + "/loop-b");
  fs::remove_all(dangling.usbDevice);
  const auto ids = InstanceIds();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], u"FTDIBUS\\VID_0403+PID_6001+ZOR11111A\\0000");
}

TEST(SysfsPortWalk, ResolvingNeverClimbsAboveTheRoot) {
  DeviceRoot root;
  namespace fs = std::filesystem;
  fs::create_directories(root.Path() + "/sys/a");
  fs::create_symlink("../../../../../../../../sys/a", root.Path() + "/sys/up");
  EXPECT_EQ(platform::sysfs::ResolveUnderRoot(root.Path(), "/sys/up"), "/sys/a");
  EXPECT_EQ(platform::sysfs::ResolveUnderRoot(root.Path(), "/sys/missing"), std::nullopt);
}

TEST(PortNameFromRegistry, TheTtyNameOfTheInstance) {
  DeviceRoot root;
  root.AddFtdi("FT9XYZ12");
  root.AddFtdi("");
  std::u16string name = u"stale";
  EXPECT_TRUE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6001+\\0000", name));
  EXPECT_EQ(name, u"ttyUSB1");
  EXPECT_TRUE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6001+FT9XYZ12A\\0000", name));
  EXPECT_EQ(name, u"ttyUSB0");
  EXPECT_FALSE(platform::PortNameFromRegistry(u"ACPI\\PNP0501\\1", name));
  EXPECT_EQ(name, u"");
}

TEST(SysfsFtdiDriver, AbsentFtdiSioMeansNotInstalled) {
  DeviceRoot root;
  FtdiDriver missing;
  EXPECT_TRUE(missing.notInstalled);
  EXPECT_FALSE(missing.cannotLoad);
  EXPECT_FALSE(missing.HasModule());
  EXPECT_FALSE(missing.Usable());
  std::u16string serial;
  EXPECT_FALSE(FtdiSerialForPort(missing, u"ttyUSB0", serial));

  root.AddDriver("ftdi_sio");
  FtdiDriver present;
  EXPECT_FALSE(present.notInstalled);
  EXPECT_TRUE(present.Usable());
}

TEST(SysfsFtdiDriver, SerialOfTheAdapterOwningThePortWhateverTheCase) {
  DeviceRoot root;
  root.AddFtdi("FT000001");
  vozisim::UsbSerialPortSpec cp210x;
  cp210x.serial = "ZOR99999";
  cp210x.driver = "cp210x";
  root.AddUsb(cp210x);  // not served by ftdi_sio
  root.AddFtdi("ZOR77777");
  FtdiDriver driver;
  std::u16string serial;
  EXPECT_TRUE(FtdiSerialForPort(driver, u"ttyUSB2", serial));
  EXPECT_EQ(serial, u"ZOR77777");
  serial.clear();
  EXPECT_TRUE(FtdiSerialForPort(driver, u"TTYusb0", serial));
  EXPECT_EQ(serial, u"FT000001");
  serial = u"kept";
  EXPECT_FALSE(FtdiSerialForPort(driver, u"ttyUSB1", serial));
  EXPECT_FALSE(FtdiSerialForPort(driver, u"", serial));
  EXPECT_FALSE(FtdiSerialForPort(driver, u"ttyUSB", serial));
  EXPECT_EQ(serial, u"kept");
  EXPECT_FALSE(driver.cannotLoad);
}

TEST(SysfsFtdiDriver, UnloadedDuringASearchMakesItUnusable) {
  DeviceRoot root;
  root.AddFtdi("ZOR77777");
  FtdiDriver driver;
  ASSERT_TRUE(driver.Usable());
  root.RemoveDriver("ftdi_sio");
  std::u16string serial;
  EXPECT_FALSE(FtdiSerialForPort(driver, u"ttyUSB0", serial));
  EXPECT_TRUE(driver.cannotLoad);
  EXPECT_FALSE(driver.Usable());
}

}  // namespace
