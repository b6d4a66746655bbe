#include "vozi_sim/description.h"

#include <charconv>
#include <cmath>

namespace vozisim {
namespace {

struct BuiltIn {
  const char* name;
  const char* unit;
  const char* maximum;
  const char* minimum;
  const char* type;
  Waveform wave;
};

// The instrument's own channels; field 0 is the sample time.
constexpr BuiltIn kBuiltIn[] = {
    {"Time", "s", "na", "na", "T", Waveform::Constant},
    {"ECG", "mV", "5", "-5", "A", Waveform::Sine},
    {"Pulse", "bpm", "250", "0", "A", Waveform::Square},
    {"Temp", "degC", "45", "20", "A", Waveform::Constant},
    {"Ramp", "V", "10", "0", "A", Waveform::Ramp},
    {"Counter", "count", "32767", "0", "A", Waveform::Counter},
};
constexpr size_t kBuiltInCount = sizeof(kBuiltIn) / sizeof(kBuiltIn[0]);

std::optional<double> ParseDouble(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

ChannelSpec DefaultChannel(size_t i) {
  ChannelSpec c;
  if (i < kBuiltInCount) {
    const BuiltIn& b = kBuiltIn[i];
    c = {b.name, b.unit, b.maximum, b.minimum, b.type, b.wave};
  } else {
    c = {"Ch" + std::to_string(i), "V", "10", "0", "A", Waveform::Ramp};
  }
  return c;
}

// Replaces the first entries of one text field of every channel.
void Override(std::vector<ChannelSpec>& channels, const std::string& list,
              std::string ChannelSpec::*field) {
  std::vector<std::string> items = SplitList(list);
  for (size_t i = 0; i < items.size() && i < channels.size(); ++i) channels[i].*field = items[i];
}

void SetSpan(ChannelSpec& c) {
  auto lo = ParseDouble(c.minimum);
  auto hi = ParseDouble(c.maximum);
  if (lo && hi && *hi > *lo) {
    c.low = *lo;
    c.high = *hi;
  } else {
    c.low = -100.0;
    c.high = 100.0;
  }
}

std::string Join(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out += ',';
    out += fields[i];
  }
  return out;
}

// One line with a field per channel, plus the CRC field's entry.
std::string ChannelLine(const SimConfig& cfg, std::string ChannelSpec::*field,
                        const char* crcEntry) {
  std::vector<std::string> fields;
  for (const ChannelSpec& c : ResolveChannels(cfg)) fields.push_back(c.*field);
  if (cfg.crc) fields.push_back(crcEntry);
  return Join(fields);
}

}  // namespace

std::optional<Waveform> ParseWaveform(std::string_view text) {
  if (text == "ramp") return Waveform::Ramp;
  if (text == "sine") return Waveform::Sine;
  if (text == "square") return Waveform::Square;
  if (text == "counter") return Waveform::Counter;
  if (text == "constant") return Waveform::Constant;
  return std::nullopt;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    out.emplace_back(text.substr(start, comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

std::vector<ChannelSpec> ResolveChannels(const SimConfig& cfg) {
  std::vector<ChannelSpec> channels;
  for (int i = 0; i < cfg.channels; ++i) channels.push_back(DefaultChannel(static_cast<size_t>(i)));
  Override(channels, cfg.names, &ChannelSpec::name);
  Override(channels, cfg.units, &ChannelSpec::unit);
  Override(channels, cfg.maxima, &ChannelSpec::maximum);
  Override(channels, cfg.minima, &ChannelSpec::minimum);
  Override(channels, cfg.types, &ChannelSpec::type);
  std::vector<std::string> waves = SplitList(cfg.waves);
  for (size_t i = 0; i < waves.size() && i < channels.size(); ++i) {
    if (auto w = ParseWaveform(waves[i])) channels[i].wave = *w;
  }
  for (ChannelSpec& c : channels) SetSpan(c);
  return channels;
}

std::vector<std::string> PeriodFields(const SimConfig& cfg) {
  std::vector<std::string> fields;
  if (cfg.endOfCycle) fields.push_back("EndOfCycle");
  for (std::string& p : SplitList(cfg.periods)) fields.push_back(std::move(p));
  return fields;
}

std::optional<int64_t> PeriodTextToMicros(std::string_view text) {
  auto seconds = ParseDouble(text);
  if (!seconds || *seconds <= 0 || *seconds > 86400.0) return std::nullopt;
  int64_t us = std::llround(*seconds * 1e6);
  if (us < 1) return std::nullopt;
  return us;
}

std::optional<int64_t> PeriodMicrosAt(const SimConfig& cfg, int position) {
  std::vector<std::string> fields = PeriodFields(cfg);
  if (position < 0 || static_cast<size_t>(position) >= fields.size()) return std::nullopt;
  if (cfg.endOfCycle && position == 0) return std::nullopt;
  return PeriodTextToMicros(fields[static_cast<size_t>(position)]);
}

std::optional<int64_t> StartPeriodMicros(const SimConfig& cfg) {
  if (cfg.startPeriod >= 0) return PeriodMicrosAt(cfg, cfg.startPeriod);
  for (const std::string& p : SplitList(cfg.periods)) {
    if (auto us = PeriodTextToMicros(p)) return us;
  }
  return std::nullopt;
}

std::string VersionLine(const SimConfig& cfg) {
  std::vector<std::string> fields{"V"};
  for (std::string_view rest = cfg.version;;) {
    size_t dot = rest.find('.');
    fields.emplace_back(rest.substr(0, dot));
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  fields.push_back(cfg.firmware);
  if (cfg.modelField) fields.push_back(cfg.model);
  if (cfg.versionFields > 0 && static_cast<size_t>(cfg.versionFields) < fields.size()) {
    fields.resize(static_cast<size_t>(cfg.versionFields));
  }
  return Join(fields);
}

std::string FormatLine(const SimConfig& cfg) { return ChannelLine(cfg, &ChannelSpec::type, "C"); }

std::string PeriodLine(const SimConfig& cfg) { return Join(PeriodFields(cfg)); }

std::string NamesLine(const SimConfig& cfg) {
  std::vector<std::string> names;
  for (const ChannelSpec& c : ResolveChannels(cfg)) names.push_back(c.name);
  if (cfg.namesDelta < 0) {
    size_t drop = std::min(names.size(), static_cast<size_t>(-static_cast<int64_t>(cfg.namesDelta)));
    names.resize(names.size() - drop);
  }
  for (int i = 1; i <= cfg.namesDelta; ++i) names.push_back("Extra" + std::to_string(i));
  if (cfg.crc) names.push_back("CRC");
  return Join(names);
}

std::string UnitsLine(const SimConfig& cfg) { return ChannelLine(cfg, &ChannelSpec::unit, "na"); }

std::string MaximaLine(const SimConfig& cfg) {
  return ChannelLine(cfg, &ChannelSpec::maximum, "na");
}

std::string MinimaLine(const SimConfig& cfg) {
  return ChannelLine(cfg, &ChannelSpec::minimum, "na");
}

}  // namespace vozisim
