#pragma once
// The walk over the serial-port interfaces present on the machine, as device
// discovery sees it. On Windows it is SetupAPI's set of COM-port interfaces
// (DevRegEnum); on Linux the USB serial ttys of sysfs, named the way the
// Windows drivers name their device instances so that one instrument gets the
// same description and identifier on both systems.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class PortEnumerator {
 public:
  virtual ~PortEnumerator() = default;
  PortEnumerator(const PortEnumerator&) = delete;
  PortEnumerator& operator=(const PortEnumerator&) = delete;

  // Fetches the next interface of the walk. After the first interface that
  // cannot be read the walk is over and stays over.
  virtual bool MoveNext() = 0;
  // The adapter serial number inside an instance ID: what follows the last
  // separator, cut before the first '\'. Works on the text alone.
  virtual void ExtractSerial(std::u16string& text, char16_t separator);
  // The name under which the current port is opened. Always true.
  virtual bool GetDevicePath(std::u16string& path) = 0;
  virtual std::u16string GetInstanceId() = 0;
  virtual std::u16string GetFriendlyName() = 0;
  virtual std::u16string GetManufacturer() = 0;
  // Reads the interface with this index into the current fields.
  virtual bool FetchItem(int32_t index) = 0;
  // The port name of a device instance, as PortNameFromRegistry below gives
  // it. A walk that holds its ports' names already answers from them, so that
  // asking for every port of a walk costs no more than the walk itself.
  virtual bool LookUpPortName(const std::u16string& instanceId, std::u16string& portName);

 protected:
  PortEnumerator() = default;
};

// A new walk, positioned before the first interface. Creating it takes the
// set of present interfaces.
std::unique_ptr<PortEnumerator> NewPortEnumerator();

// The port name (such as COM5, or ttyUSB0 on Linux) of a device instance.
// False and an empty name when it cannot be read.
bool PortNameFromRegistry(const std::u16string& instanceId, std::u16string& portName);

inline bool PortEnumerator::LookUpPortName(const std::u16string& instanceId, std::u16string& portName) {
  return PortNameFromRegistry(instanceId, portName);
}

}  // namespace platform
