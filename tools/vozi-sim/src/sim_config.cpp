#include "vozi_sim/sim_config.h"

#include <charconv>
#include <fstream>
#include <sstream>

#include "vozi_sim/description.h"

namespace vozisim {
namespace {

using Setter = std::function<std::optional<std::string>(SimConfig&, const std::string&)>;

std::optional<bool> ParseBool(const std::string& v) {
  if (v.empty() || v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return std::nullopt;
}

template <typename T>
std::optional<T> ParseInteger(const std::string& v) {
  T out{};
  const char* end = v.data() + v.size();
  auto [ptr, ec] = std::from_chars(v.data(), end, out);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return out;
}

Setter Text(std::string SimConfig::*field) {
  return [field](SimConfig& c, const std::string& v) -> std::optional<std::string> {
    c.*field = v;
    return std::nullopt;
  };
}

Setter Flag(bool SimConfig::*field) {
  return [field](SimConfig& c, const std::string& v) -> std::optional<std::string> {
    auto b = ParseBool(v);
    if (!b) return "expected true or false, got \"" + v + "\"";
    c.*field = *b;
    return std::nullopt;
  };
}

template <typename T>
Setter Number(T SimConfig::*field) {
  return [field](SimConfig& c, const std::string& v) -> std::optional<std::string> {
    auto n = ParseInteger<T>(v);
    if (!n) return "expected a whole number, got \"" + v + "\"";
    c.*field = *n;
    return std::nullopt;
  };
}

std::vector<OptionInfo> BuildTable() {
  return {
      {"version", "dotted version a.b.c of the V answer", false, Text(&SimConfig::version)},
      {"firmware", "firmware number text of the V answer", false, Text(&SimConfig::firmware)},
      {"model", "model name of the V answer", false, Text(&SimConfig::model)},
      {"model-field", "send the model field in the V answer", true, Flag(&SimConfig::modelField)},
      {"version-fields", "cut the V answer to this many fields (0: all)", false,
       Number(&SimConfig::versionFields)},
      {"channels", "fields per data line, time included (more than 26 allowed)", false,
       Number(&SimConfig::channels)},
      {"names", "comma list replacing the first channel names", false, Text(&SimConfig::names)},
      {"units", "comma list replacing the first units (na allowed)", false, Text(&SimConfig::units)},
      {"maxima", "comma list replacing the first maxima (na allowed)", false,
       Text(&SimConfig::maxima)},
      {"minima", "comma list replacing the first minima (na allowed)", false,
       Text(&SimConfig::minima)},
      {"types", "comma list replacing the first format type codes", false, Text(&SimConfig::types)},
      {"waves", "comma list of waveforms per field: ramp sine square counter constant", false,
       Text(&SimConfig::waves)},
      {"periods", "offered sample periods in seconds, comma list", false, Text(&SimConfig::periods)},
      {"end-of-cycle", "period line begins with EndOfCycle", true, Flag(&SimConfig::endOfCycle)},
      {"start-period", "period position streamed before any P (-1: first period)", false,
       Number(&SimConfig::startPeriod)},
      {"crc", "add a CRC field to names and data lines", true, Flag(&SimConfig::crc)},
      {"wave-period", "samples per waveform cycle", false, Number(&SimConfig::wavePeriod)},
      {"missing-channel", "field sent as * (missing value)", false,
       Number(&SimConfig::missingChannel)},
      {"missing-every", "send the missing value every k-th sample (0: never)", false,
       Number(&SimConfig::missingEvery)},
      {"silent", "fault: never answer anything", true, Flag(&SimConfig::silent)},
      {"greeting-only", "fault: answer S and nothing else", true, Flag(&SimConfig::greetingOnly)},
      {"no-stream-ack", "fault: never answer B (and never stream)", true,
       Flag(&SimConfig::noStreamAck)},
      {"no-stop-ack", "fault: ignore S while streaming", true, Flag(&SimConfig::noStopAck)},
      {"names-delta", "fault: this many names more (or fewer if negative)", false,
       Number(&SimConfig::namesDelta)},
      {"noise-every", "fault: binary noise line before every k-th line (0: never)", false,
       Number(&SimConfig::noiseEvery)},
      {"stray-after", "fault: a stray well-formed line ~,~ after the answer to each of these letters (e.g. VU)",
       false, Text(&SimConfig::strayAfter)},
      {"split-writes", "fault: write every byte separately", true, Flag(&SimConfig::splitWrites)},
      {"split-gap-us", "pause between single-byte writes, microseconds", false,
       Number(&SimConfig::splitGapUs)},
      {"lf-cr", "fault: end lines with LF CR instead of CR LF", true, Flag(&SimConfig::lfCr)},
      {"long-line-every", "fault: an over-long line after every k data lines (0: never)", false,
       Number(&SimConfig::longLineEvery)},
      {"long-line-once", "fault: send the over-long line only once", true,
       Flag(&SimConfig::longLineOnce)},
      {"long-line-length", "bytes of the over-long line", false,
       Number(&SimConfig::longLineLength)},
      {"hang-up-after", "fault: close the pty after N data lines (0: never)", false,
       Number(&SimConfig::hangUpAfter)},
      {"burst", "fault: stream without pacing, as fast as the host drains", true,
       Flag(&SimConfig::burst)},
  };
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

}  // namespace

const std::vector<OptionInfo>& OptionTable() {
  static const std::vector<OptionInfo> table = BuildTable();
  return table;
}

std::optional<std::string> ApplyOption(SimConfig& cfg, const std::string& key,
                                       const std::string& value) {
  for (const OptionInfo& o : OptionTable()) {
    if (o.key != key) continue;
    if (auto err = o.set(cfg, value)) return key + ": " + *err;
    return std::nullopt;
  }
  return "unknown key \"" + key + "\"";
}

std::optional<std::string> LoadConfigText(SimConfig& cfg, const std::string& text) {
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      return "line " + std::to_string(number) + ": expected key=value";
    }
    if (auto err = ApplyOption(cfg, Trim(t.substr(0, eq)), Trim(t.substr(eq + 1)))) {
      return "line " + std::to_string(number) + ": " + *err;
    }
  }
  return std::nullopt;
}

std::optional<std::string> LoadConfigFile(SimConfig& cfg, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  std::ostringstream text;
  text << in.rdbuf();
  if (auto err = LoadConfigText(cfg, text.str())) return path + ": " + *err;
  return std::nullopt;
}

std::optional<std::string> Validate(const SimConfig& cfg) {
  if (cfg.channels < 1 || cfg.channels > 4096) return "channels must be 1..4096";
  if (cfg.wavePeriod < 1) return "wave-period must be at least 1";
  if (cfg.longLineLength < 1) return "long-line-length must be at least 1";
  if (cfg.splitGapUs < 0) return "split-gap-us must not be negative";
  if (cfg.missingChannel < 0) return "missing-channel must not be negative";
  if (!StartPeriodMicros(cfg)) {
    return "no usable start period: periods needs a positive number of seconds "
           "at start-period";
  }
  for (const std::string& w : SplitList(cfg.waves)) {
    if (!w.empty() && !ParseWaveform(w)) return "unknown waveform \"" + w + "\"";
  }
  return std::nullopt;
}

}  // namespace vozisim
