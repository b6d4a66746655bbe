#pragma once
// What an instrument says about itself through the device commands: identity,
// channels with their units and ranges, and the sample periods it offers.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/enabler_session.h"
#include "platform/port_finder.h"

namespace vozihost {

struct ChannelInfo {
  int32_t index = 0;  // data-field index, 1..last channel
  std::string name;
  std::string units;
  // The range the library scales into 0..32767; absent when the instrument
  // gave none for this field (its values then arrive unscaled).
  std::optional<float> minimum;
  std::optional<float> maximum;

  bool Scaled() const { return minimum && maximum; }
  // "name (units)", or the name alone when there are no units.
  std::string Label() const;
};

struct DeviceInfo {
  int32_t index = -1;
  std::optional<int32_t> uniqueId;
  std::string description;  // the adapter's serial number after "ZOR"
  std::string model;
  std::string firmware;
  std::vector<ChannelInfo> channels;  // channels 1..last, in order
  // The sample periods in the instrument's own order, the first being where
  // it starts. The library lists them the other way round.
  std::vector<int32_t> periodsUs;

  const ChannelInfo* Channel(int32_t channel) const;
};

// Asks every question of the list. A command the library refuses (it does so
// when the instrument never finished describing itself) ends the questions:
// the result is nullopt and *failedCommand names the command.
std::optional<DeviceInfo> ReadDeviceInfo(const EnablerSession& session, int32_t index,
                                         std::string* failedCommand);

// The reply of GetSamplePeriods: decimal integers separated by commas.
// Fields that are not whole numbers are skipped.
std::vector<int32_t> ParsePeriodList(std::string_view text);

// The period an instrument starts with: the first usable one of its own
// list. None when it offers none (the time of a sample is then unknown).
std::optional<int32_t> StartingPeriod(const std::vector<int32_t>& periodsUs);

// The identifier the enabler derives from an adapter's serial number
// without its first three characters (GetUniqueID gives it): the middle
// characters, each worth its code less '0', in base 42. It lets the tool
// match an instrument to a port without starting it.
int32_t UniqueIdFromSerialRemainder(std::string_view remainder);

// Where an instrument is, as the platform shows it before anything starts:
// its port and its description (the adapter's serial number after "ZOR"),
// found by the identifier the enabler derives from that serial number. Both
// empty when no adapter or several give the identifier, or the platform
// offers no look-up (Windows).
struct PortInfo {
  std::string port;
  std::string description;
};
PortInfo FindPort(std::optional<int32_t> uniqueId, const std::vector<PlatformPort>& ports);

// A period for people: "1 s", "10 ms", "250 us", "1.5 ms".
std::string FormatPeriod(int32_t periodUs);

}  // namespace vozihost
