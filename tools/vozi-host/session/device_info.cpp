#include "session/device_info.h"

#include <algorithm>
#include <charconv>

namespace vozihost {

std::string ChannelInfo::Label() const { return units.empty() ? name : name + " (" + units + ")"; }

const ChannelInfo* DeviceInfo::Channel(int32_t channel) const {
  for (const ChannelInfo& c : channels) {
    if (c.index == channel) return &c;
  }
  return nullptr;
}

std::vector<int32_t> ParsePeriodList(std::string_view text) {
  std::vector<int32_t> periods;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view field = text.substr(0, comma);
    int32_t value = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (ec == std::errc() && end == field.data() + field.size() && !field.empty()) {
      periods.push_back(value);
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return periods;
}

std::optional<int32_t> StartingPeriod(const std::vector<int32_t>& periodsUs) {
  for (int32_t p : periodsUs) {
    if (p > 0) return p;
  }
  return std::nullopt;
}

int32_t UniqueIdFromSerialRemainder(std::string_view remainder) {
  const size_t n = remainder.size();
  const std::string_view middle = n < 2 ? std::string_view() : n < 4 ? remainder.substr(2) : remainder.substr(2, n - 4);
  uint32_t value = 0;  // wraps as the enabler's 32-bit arithmetic does
  for (char c : middle) value = value * 42u + static_cast<uint32_t>(static_cast<unsigned char>(c) - 48);
  return static_cast<int32_t>(value);
}

PortInfo FindPort(std::optional<int32_t> uniqueId, const std::vector<PlatformPort>& ports) {
  if (!uniqueId) return {};
  const PlatformPort* match = nullptr;
  for (const PlatformPort& p : ports) {
    const bool vozi = p.serial.rfind("ZOR", 0) == 0 || p.serial.rfind("D800", 0) == 0;
    if (!vozi || UniqueIdFromSerialRemainder(std::string_view(p.serial).substr(3)) != *uniqueId) continue;
    if (match) return {};
    match = &p;
  }
  if (!match) return {};
  return {match->port, match->serial.substr(3)};
}

std::string FormatPeriod(int32_t periodUs) {
  // Whole units where possible; otherwise the next smaller unit with up to
  // three decimals.
  auto scaled = [](int64_t value, int64_t unit, const char* name) {
    std::string text = std::to_string(value / unit);
    if (const int64_t rest = value % unit; rest != 0) {
      std::string frac = std::to_string(rest * 1000 / unit + 1000).substr(1);
      while (!frac.empty() && frac.back() == '0') frac.pop_back();
      if (!frac.empty()) text += "." + frac;
    }
    return text + " " + name;
  };
  const int64_t us = periodUs;
  if (us <= 0) return std::to_string(us) + " us";
  if (us >= 1000000) return scaled(us, 1000000, "s");
  if (us >= 1000) return scaled(us, 1000, "ms");
  return std::to_string(us) + " us";
}

namespace {

struct Questioner {
  const EnablerSession& session;
  int32_t index;
  std::string* failed;

  std::optional<EnablerSession::Reply> Ask(VoziCommand code, const char* name, int32_t argument = 0) {
    EnablerSession::Reply reply = session.Command(index, code, argument);
    if (!reply.ok) {
      if (failed) *failed = name;
      return std::nullopt;
    }
    return reply;
  }
};

std::optional<ChannelInfo> ReadChannel(Questioner& q, int32_t channel) {
  ChannelInfo c;
  c.index = channel;
  auto name = q.Ask(VOZI_GET_CHANNEL_NAME, "GetChannelName", channel);
  auto units = name ? q.Ask(VOZI_GET_CHANNEL_UNITS, "GetChannelUnits", channel) : std::nullopt;
  auto low = units ? q.Ask(VOZI_GET_CHANNEL_MINIMUM, "GetChannelMinimum", channel) : std::nullopt;
  auto high = low ? q.Ask(VOZI_GET_CHANNEL_MAXIMUM, "GetChannelMaximum", channel) : std::nullopt;
  if (!high) return std::nullopt;
  c.name = name->text.empty() ? "Channel " + std::to_string(channel) : name->text;
  c.units = units->text;
  c.minimum = low->value;
  c.maximum = high->value;
  return c;
}

}  // namespace

std::optional<DeviceInfo> ReadDeviceInfo(const EnablerSession& session, int32_t index,
                                         std::string* failedCommand) {
  Questioner q{session, index, failedCommand};
  DeviceInfo info;
  info.index = index;
  info.uniqueId = session.UniqueId(index);
  // The first command waits for the instrument's description; if that never
  // completes, each further command would wait as long again.
  auto description = q.Ask(VOZI_GET_PORT_DESCRIPTION, "GetPortDescription");
  auto model = description ? q.Ask(VOZI_GET_MODEL_NAME, "GetModelName") : std::nullopt;
  auto version = model ? q.Ask(VOZI_GET_VERSION_TEXT, "GetVersionText") : std::nullopt;
  auto last = version ? q.Ask(VOZI_GET_LAST_CHANNEL, "GetLastChannel") : std::nullopt;
  auto periods = last ? q.Ask(VOZI_GET_SAMPLE_PERIODS, "GetSamplePeriods") : std::nullopt;
  if (!periods) return std::nullopt;
  info.description = description->text;
  info.model = model->text;
  info.firmware = version->text;
  info.periodsUs = ParsePeriodList(periods->text);
  std::reverse(info.periodsUs.begin(), info.periodsUs.end());
  // The channel count bounds a loop of commands; no instrument has hundreds.
  // (An instrument that named no field at all gives -1: no channels.)
  if (last->count > 255) {
    if (failedCommand) *failedCommand = "GetLastChannel (" + std::to_string(last->count) + " channels)";
    return std::nullopt;
  }
  for (int32_t channel = 1; channel <= last->count; ++channel) {
    auto c = ReadChannel(q, channel);
    if (!c) return std::nullopt;
    info.channels.push_back(std::move(*c));
  }
  return info;
}

}  // namespace vozihost
