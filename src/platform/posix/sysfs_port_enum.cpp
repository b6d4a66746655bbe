// The port walk on Linux: the USB serial ttys of sysfs. The set of ports is
// taken once, when the walk is created (as SetupAPI takes its set of present
// interfaces), and read one index at a time.
#include <unordered_map>
#include <vector>

#include "platform/port_walk.h"
#include "platform/posix/sysfs_tree.h"
#include "platform/posix/utf8_codec.h"
#include "platform/posix/utf8_path.h"

namespace platform {
namespace {

class SysfsPortEnum final : public PortEnumerator {
 public:
  SysfsPortEnum() : root_(sysfs::DeviceRoot()) { OpenDeviceInfoSet(); }

  bool MoveNext() override {
    if (nextIndex_ < 0) return false;
    if (FetchItem(nextIndex_)) {
      currentIndex_ = nextIndex_;
      ++nextIndex_;
      return true;
    }
    ports_.reset();
    portNames_.reset();
    nextIndex_ = -1;
    currentIndex_ = -1;
    return false;
  }

  bool GetDevicePath(std::u16string& path) override {
    path = devicePath_;
    return true;
  }
  std::u16string GetInstanceId() override { return instanceId_; }
  std::u16string GetFriendlyName() override { return friendlyName_; }
  std::u16string GetManufacturer() override { return manufacturer_; }

  // Linux keeps no registry: the instance's tty is found among the ports this
  // walk took, indexed once, so that a pass stays linear in the ports.
  bool LookUpPortName(const std::u16string& instanceId, std::u16string& portName) override {
    if (!ports_) return PortNameFromRegistry(instanceId, portName);
    if (!portNames_) {
      portNames_.emplace();
      for (const sysfs::UsbTtyPort& port : *ports_) {
        // The first port of an instance ID wins, as in a walk in name order.
        portNames_->try_emplace(sysfs::InstanceId(port), Utf16Path(port.name));
      }
    }
    const auto found = portNames_->find(instanceId);
    portName = found == portNames_->end() ? std::u16string() : found->second;
    return found != portNames_->end();
  }

  bool FetchItem(int32_t index) override {
    OpenDeviceInfoSet();
    if (!ports_ || index < 0 || static_cast<size_t>(index) >= ports_->size()) return false;
    const sysfs::UsbTtyPort& port = (*ports_)[static_cast<size_t>(index)];
    devicePath_ = Utf16Path(root_ + "/dev/" + port.name);
    instanceId_ = sysfs::InstanceId(port);
    manufacturer_ = utf8::Decode(port.manufacturer);
    friendlyName_ = utf8::Decode(port.product);
    return true;
  }

 private:
  void OpenDeviceInfoSet() {
    if (ports_) return;
    ports_ = sysfs::ListUsbTtyPorts(root_);
    nextIndex_ = 0;
  }

  const std::string root_;
  std::optional<std::vector<sysfs::UsbTtyPort>> ports_;
  std::optional<std::unordered_map<std::u16string, std::u16string>> portNames_;
  std::u16string friendlyName_;
  std::u16string manufacturer_;
  std::u16string instanceId_;
  std::u16string devicePath_;
  int32_t nextIndex_ = -1;
  int32_t currentIndex_ = 0;
};

}  // namespace

std::unique_ptr<PortEnumerator> NewPortEnumerator() { return std::make_unique<SysfsPortEnum>(); }

// Outside a walk the port whose instance ID is the one asked for is found by
// walking the ports afresh; its tty name is the port name.
bool PortNameFromRegistry(const std::u16string& instanceId, std::u16string& portName) {
  portName.clear();
  for (const sysfs::UsbTtyPort& port : sysfs::ListUsbTtyPorts(sysfs::DeviceRoot())) {
    if (sysfs::InstanceId(port) == instanceId) {
      portName = Utf16Path(port.name);
      return true;
    }
  }
  return false;
}

}  // namespace platform
