#include "soak_host.h"

#include <cstdio>

#include "startup/start_device.h"
#include "vozi/device_commands.h"
#include "vozi/device_description.h"

namespace soak {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr const char* kExportNames[] = {"Initialise", "ReadLine", "DeviceCommand", "CloseAll"};

bool DescriptionReady(OpenKymo::VoziSerial& device) {
  auto description = device.Description();
  return description && description->IsComplete();
}

}  // namespace

SoakHost::~SoakHost() { CloseAll(); }

int32_t SoakHost::Add(std::unique_ptr<OpenKymo::VoziSerial> device) {
  devices_.push_back(std::move(device));
  return Count() - 1;
}

void SoakHost::Record(Export which, const std::string& what, Clock::duration took, Clock::duration allowed) {
  std::lock_guard<std::mutex> guard(lock_);
  const Clock::duration headroom = allowed - took;
  if (calls_[which]++ == 0 || headroom < leastHeadroom_[which]) leastHeadroom_[which] = headroom;
  if (took > longest_[which]) longest_[which] = took;
  if (took > allowed) {
    overruns_.push_back(what + " took " + std::to_string(duration_cast<milliseconds>(took).count()) +
                        " ms, allowed " + std::to_string(duration_cast<milliseconds>(allowed).count()) + " ms");
  }
}

int32_t SoakHost::Initialise(int32_t index) {
  OpenKymo::VoziSerial& device = Device(index);
  const auto start = Clock::now();
  int32_t result;
  if (device.IsOpen() && !device.failed.load()) {
    result = 1;  // already running: nothing starts again
  } else {
    if (device.IsOpen()) device.Close();
    result = StartDevice(device, device.portName.c_str()) == kS_OK ? 1 : 0;
  }
  // A failed device is closed first: stop frame, pause, reader stop.
  Record(kInitialise, "Initialise(" + std::to_string(index) + ")", Clock::now() - start,
         bounds_.initialise + bounds_.closePerDevice + bounds_.margin);
  return result;
}

int32_t SoakHost::IsFailed(int32_t index) { return Device(index).failed.load() ? 1 : 0; }

int32_t SoakHost::ReadLine(int32_t index, char* destination, int32_t maximum, uint32_t timeoutMs) {
  const auto start = Clock::now();
  const bool got = Device(index).ReadLine(reinterpret_cast<uint8_t*>(destination), maximum, timeoutMs);
  Record(kReadLine, "ReadLine(" + std::to_string(index) + ", timeout " + std::to_string(timeoutMs) + " ms)",
         Clock::now() - start, milliseconds(timeoutMs) + bounds_.margin);
  return got ? 1 : 0;
}

int32_t SoakHost::DeviceCommand(int32_t index, int32_t code, CommandRecord* record) {
  OpenKymo::VoziSerial& device = Device(index);
  Clock::duration allowed = bounds_.margin;
  if (!DescriptionReady(device)) allowed += bounds_.descriptionWait;
  const auto command = static_cast<CommandCode>(code);
  if (command == CommandCode::StartStream) allowed += bounds_.startStream;
  if (command == CommandCode::StopStream || command == CommandCode::SelectPeriod) {
    allowed += bounds_.stopStream;
  }
  const auto start = Clock::now();
  const bool result = handleCommand(device, code, record);
  Record(kDeviceCommand, "DeviceCommand(" + std::to_string(index) + ", " + std::to_string(code) + ")",
         Clock::now() - start, allowed);
  return result ? 1 : 0;
}

bool SoakHost::Command(int32_t index, int32_t code, int32_t argument) {
  char reply[256] = "";
  CommandRecord record{};
  record.reply = reply;
  record.replySize = sizeof reply;
  record.argument = argument;
  return DeviceCommand(index, code, &record) == 1;
}

int32_t SoakHost::CloseAll() {
  const size_t count = devices_.size();
  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i) devices_.pop_back();  // the last first; each closes its device
  if (count > 0) {
    Record(kCloseAll, "CloseAll(" + std::to_string(count) + " devices)", Clock::now() - start,
           bounds_.closePerDevice * static_cast<int>(count) + bounds_.margin);
  }
  return 1;
}

std::vector<std::string> SoakHost::Overruns() const {
  std::lock_guard<std::mutex> guard(lock_);
  return overruns_;
}

std::string SoakHost::Summary() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::string text;
  for (int i = 0; i < kExportCount; ++i) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-14s %7llu calls, longest %6lld ms, least headroom to its bound %6lld ms\n",
                  kExportNames[i], static_cast<unsigned long long>(calls_[i]),
                  static_cast<long long>(duration_cast<milliseconds>(longest_[i]).count()),
                  static_cast<long long>(duration_cast<milliseconds>(leastHeadroom_[i]).count()));
    text += line;
  }
  return text;
}

}  // namespace soak
