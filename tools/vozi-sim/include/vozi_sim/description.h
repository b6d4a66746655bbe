#pragma once
// What the simulated instrument says about itself: its channels, the answer
// lines of the V, F and I commands, and the sample periods it offers.
// All lines are returned without their line end.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/sim_config.h"

namespace vozisim {

enum class Waveform { Ramp, Sine, Square, Counter, Constant };
std::optional<Waveform> ParseWaveform(std::string_view text);

// One field of the data lines, as announced in the description lines.
struct ChannelSpec {
  std::string name;
  std::string unit;     // "na" allowed
  std::string maximum;  // text as sent: a number or "na"
  std::string minimum;
  std::string type;     // format-line type code
  Waveform wave = Waveform::Constant;
  // Span the waveform moves in: the numeric range, or -100..100 when the
  // range is "na" or not a usable pair of numbers.
  double low = -100.0;
  double high = 100.0;
};

// The channels of the data lines, index = field index (0 is the time field).
// Built-in: Time, ECG, Pulse, Temp, Ramp, Counter; then Ch6, Ch7, ... The
// override lists of the config replace the first entries.
std::vector<ChannelSpec> ResolveChannels(const SimConfig& cfg);

// Splits a comma list, keeping empty fields; an empty text gives no fields.
std::vector<std::string> SplitList(std::string_view text);

// Fields of the period line, "EndOfCycle" first when configured. The
// position k of a "P<k>" command indexes this list.
std::vector<std::string> PeriodFields(const SimConfig& cfg);
// A period text in seconds as whole microseconds; nullopt when it is not a
// positive number (such a period is offered but cannot be streamed at).
std::optional<int64_t> PeriodTextToMicros(std::string_view text);
// The period at position k of the period line; nullopt for "EndOfCycle",
// positions outside the line and periods that are not positive numbers.
std::optional<int64_t> PeriodMicrosAt(const SimConfig& cfg, int position);
// The period streamed before the host selects one: the one at start-period,
// or with start-period -1 the first offered period that is a number.
std::optional<int64_t> StartPeriodMicros(const SimConfig& cfg);

// "V,<a>,<b>,<c>,<firmware>,<model>" (model field optional, line cut to
// versionFields fields when that is set).
std::string VersionLine(const SimConfig& cfg);
// Type codes, one per data-line field (plus "C" for the CRC field).
std::string FormatLine(const SimConfig& cfg);
std::string PeriodLine(const SimConfig& cfg);
// Channel names (plus "CRC"), with namesDelta names added or removed.
std::string NamesLine(const SimConfig& cfg);
// Units, maxima and minima: one field per data-line field; the CRC field
// gets "na".
std::string UnitsLine(const SimConfig& cfg);
std::string MaximaLine(const SimConfig& cfg);
std::string MinimaLine(const SimConfig& cfg);

}  // namespace vozisim
