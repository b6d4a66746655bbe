#include "vozi/device_description.h"

#include <optional>

#include "platform/codepage.h"
#include "vozi/fields.h"

namespace {

// Stamps are unique across every description of the process, so a decoder
// that cached the set of one description can never take another description's
// set (which may sit at the same address) for its own.
std::atomic<uint64_t> g_nextEnabledStamp{1};
uint64_t NewStamp() { return g_nextEnabledStamp.fetch_add(1, std::memory_order_relaxed); }

// A received field as the system's text: the ANSI code page, one unit per
// byte. A field that does not convert is kept empty rather than dropped, so
// that the list indices still match the data fields.
std::u16string ToWide(std::string_view field) {
  std::optional<std::u16string> wide = platform::NarrowToWide(field, platform::kCP_ACP);
  return wide ? std::move(*wide) : std::u16string();
}

}  // namespace

DeviceDescription::DeviceDescription() : enabledStamp_(NewStamp()) {}

void DeviceDescription::parsePeriodLine(std::string_view line) {
  hasEndOfCycle = false;
  for (std::string_view field : splitFields(line)) {
    if (field == "EndOfCycle") {
      hasEndOfCycle = true;
      continue;
    }
    // Periods come in seconds; the host deals in microseconds.
    periods.push_back(TruncateToInt32(ToSingle(parseNumber(field) * 1000000.0f)));
  }
  ClearPending(kPendingPeriods);
}

void DeviceDescription::parseNamesLine(std::string_view line) {
  for (std::string_view field : splitFields(line)) {
    // A "CRC" field is a check value of the data line, not a channel.
    if (field == "CRC") {
      hasCrc = true;
      continue;
    }
    names.push_back(ToWide(field));
  }
  ClearPending(kPendingNames);
}

void DeviceDescription::parseUnitsLine(std::string_view line) {
  for (std::string_view field : splitFields(line)) {
    if (field != "na") units.push_back(ToWide(field));
  }
  ClearPending(kPendingUnits);
}

void DeviceDescription::parseMaximaLine(std::string_view line) {
  for (std::string_view field : splitFields(line)) {
    maxima.push_back(field == "na" ? kNoRangeMaximum : parseNumber(field));
  }
  ClearPending(kPendingMaxima);
}

void DeviceDescription::parseMinimaLine(std::string_view line) {
  for (std::string_view field : splitFields(line)) {
    minima.push_back(field == "na" ? kNoRangeMinimum : parseNumber(field));
  }
  ClearPending(kPendingMinima);
}

void DeviceDescription::Restamp() { enabledStamp_.store(NewStamp(), std::memory_order_release); }

void DeviceDescription::EnableChannel(int32_t index) {
  std::lock_guard<std::mutex> lock(enabledLock_);
  if (enabled_.insert(index).second) Restamp();
}

void DeviceDescription::DisableChannel(int32_t index) {
  std::lock_guard<std::mutex> lock(enabledLock_);
  if (enabled_.erase(index) != 0) Restamp();
}

bool DeviceDescription::IsChannelEnabled(int32_t index) const {
  std::lock_guard<std::mutex> lock(enabledLock_);
  return enabled_.count(index) != 0;
}

std::set<int32_t> DeviceDescription::EnabledChannels() const {
  std::lock_guard<std::mutex> lock(enabledLock_);
  return enabled_;
}

uint64_t DeviceDescription::CopyEnabled(int32_t count, std::vector<uint64_t>& bits) const {
  const size_t words = count > 0 ? (static_cast<size_t>(count) + 63) / 64 : 0;
  bits.assign(words, 0);  // keeps its storage when the size does not grow
  std::lock_guard<std::mutex> lock(enabledLock_);
  for (auto it = enabled_.lower_bound(0); it != enabled_.end() && *it < count; ++it) {
    bits[static_cast<size_t>(*it) / 64] |= uint64_t{1} << (*it % 64);
  }
  return enabledStamp_.load(std::memory_order_relaxed);
}
