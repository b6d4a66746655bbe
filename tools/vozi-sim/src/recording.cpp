#include "vozi_sim/recording.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <sstream>

#include "vozi_sim/samples.h"

namespace vozisim {
namespace {

std::string At(int line, const std::string& why) { return "line " + std::to_string(line) + ": " + why; }

// Splits one CSV record; fields may be quoted ("" for a quote inside).
std::optional<std::vector<std::string>> CsvFields(std::string_view line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (quoted) return std::nullopt;
  return fields;
}

std::optional<double> Number(const std::string& text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  double v = 0;
  in >> v;
  // The instrument announces its ranges as single-precision numbers.
  if (in.fail() || !in.eof() || !std::isfinite(v) || std::fabs(v) > 1e38) return std::nullopt;
  return v;
}

std::optional<int64_t> Integer(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return v;
}

// "ECG (mV)" is the name ECG in mV; a column without units has none.
void NameAndUnit(const std::string& column, std::string& name, std::string& unit) {
  const size_t open = column.rfind(" (");
  if (open != std::string::npos && column.size() > open + 2 && column.back() == ')') {
    name = column.substr(0, open);
    unit = column.substr(open + 2, column.size() - open - 3);
  } else {
    name = column;
    unit = "na";
  }
  // A comma would split the instrument's names line.
  for (std::string* s : {&name, &unit}) std::replace(s->begin(), s->end(), ',', ' ');
}

// The metadata comments vozi-host writes that the instrument can use.
void Comment(std::string_view line, Recording& out) {
  const auto value = [&](std::string_view key) -> std::optional<std::string> {
    if (line.substr(0, key.size()) != key) return std::nullopt;
    return std::string(line.substr(key.size()));
  };
  if (auto v = value("# instrument: Vozi ")) {
    const size_t space = v->find(' ');
    if (space != 0) out.model = v->substr(0, space);
  } else if (auto f = value("# firmware: ")) {
    // a.b.c.firmware, as the version line gives them.
    const size_t last = f->rfind('.');
    if (last != std::string::npos && last > 0 && last + 1 < f->size()) {
      out.version = f->substr(0, last);
      out.firmware = f->substr(last + 1);
    }
  } else if (auto p = value("# period: ")) {
    if (auto us = Integer(p->substr(0, p->find(' ')))) out.periodUs = *us;
  }
}

std::string Exact(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

}  // namespace

void RangeOf(double low, double high, float& minimum, float& maximum) {
  if (low == high) {
    // A range needs two ends; the value as its lower end comes back exactly.
    high += std::max(1.0, std::fabs(low) * 1e-3);
  }
  minimum = static_cast<float>(low);
  maximum = static_cast<float>(high);
  if (minimum > low) minimum = std::nextafter(minimum, -INFINITY);
  if (maximum < high) maximum = std::nextafter(maximum, INFINITY);
}

bool LooksLikeEdf(std::string_view start) {
  return start.substr(0, 8) == "0       " || start.substr(0, 8) == "\xff" "BIOSEMI";
}

std::optional<std::string> ReadCsvRecording(std::string_view text, Recording& out) {
  out = Recording{};
  std::vector<double> low, high;
  size_t columns = 0;  // values per row; 0 until the header
  int number = 0;
  size_t at = 0;
  while (at < text.size()) {
    ++number;
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() == '#') {
      if (columns == 0) Comment(line, out);
      continue;
    }
    const auto fields = CsvFields(line);
    if (!fields) return At(number, "a quoted field is not closed");
    if (columns == 0) {
      if (fields->front() != "time_s") {
        return At(number, fields->front() == "sample" ? "the recording has no sample period (its first column is "
                                                        "\"sample\"): it cannot be played at its pace"
                                                      : "not a vozi-host CSV (no \"time_s,...,gap\" header)");
      }
      if (fields->size() < 3 || fields->back() != "gap") return At(number, "the header does not end with \"gap\"");
      if (out.periodUs <= 0) return At(number, "no \"# period: <us> us\" comment before the header");
      columns = fields->size() - 2;
      for (size_t c = 1; c <= columns; ++c) {
        std::string name, unit;
        NameAndUnit((*fields)[c], name, unit);
        out.names.push_back(name.empty() ? "Ch" + std::to_string(c) : name);
        out.units.push_back(unit.empty() ? "na" : unit);
      }
      low.assign(columns, INFINITY);
      high.assign(columns, -INFINITY);
      continue;
    }
    if (fields->size() != columns + 2) {
      return At(number, std::to_string(fields->size()) + " fields where the header has " +
                            std::to_string(columns + 2));
    }
    const auto time = Number(fields->front());
    if (!time || *time < 0 || *time > 9.2e12) return At(number, "the time \"" + fields->front() + "\" is not a time");
    const uint64_t n = static_cast<uint64_t>(std::llround(*time * 1e6 / static_cast<double>(out.periodUs)));
    if (!out.rows.empty() && n <= out.rows.back().n) return At(number, "the time does not go forward");
    if (!Integer(fields->back())) return At(number, "the gap \"" + fields->back() + "\" is not a whole number");
    Recording::Row row{n, {}};
    for (size_t c = 1; c <= columns; ++c) {
      const auto v = Number((*fields)[c]);
      if (!v) return At(number, "column " + std::to_string(c + 1) + ": \"" + (*fields)[c] + "\" is not a number");
      row.values.push_back(*v);
      low[c - 1] = std::min(low[c - 1], *v);
      high[c - 1] = std::max(high[c - 1], *v);
    }
    out.rows.push_back(std::move(row));
  }
  if (columns == 0) return At(number + 1, "no \"time_s,...,gap\" header: not a vozi-host CSV");
  if (out.rows.empty()) return At(number + 1, "the recording holds no sample");
  // Its first sample is the stream's first.
  const uint64_t first = out.rows.front().n;
  for (Recording::Row& row : out.rows) row.n -= first;
  out.minima.resize(columns);
  out.maxima.resize(columns);
  for (size_t c = 0; c < columns; ++c) RangeOf(low[c], high[c], out.minima[c], out.maxima[c]);
  return std::nullopt;
}

std::optional<std::string> Recording::Line(uint64_t n) const {
  if (rows.empty()) return std::nullopt;
  const uint64_t span = rows.back().n + 1;
  if (!loop && n >= span) return std::nullopt;
  const uint64_t k = n % span;
  const auto row = std::lower_bound(rows.begin(), rows.end(), k, [](const Row& r, uint64_t v) { return r.n < v; });
  if (row == rows.end() || row->n != k) return std::nullopt;
  std::string line = TimeText(n, periodUs);
  for (double v : row->values) line += "," + Exact(v);
  return line;
}

bool Recording::Ended(uint64_t n) const { return !loop && (rows.empty() || n > rows.back().n); }

double Recording::LongestSilenceSeconds() const {
  // Looped, the last row is followed by the first one period later.
  uint64_t longest = loop && !rows.empty() ? 1 : 0;
  for (size_t k = 1; k < rows.size(); ++k) longest = std::max(longest, rows[k].n - rows[k - 1].n);
  return static_cast<double>(longest) * static_cast<double>(periodUs) / 1e6;
}

std::string PlaySummary(const Recording& recording) {
  char silence[40];
  std::snprintf(silence, sizeof silence, "%.6f", recording.LongestSilenceSeconds());
  return "play: " + std::to_string(recording.rows.size()) + " lines, longest silence " + silence + " s" +
         (recording.loop ? ", looped" : "");
}

void DescribeRecording(const Recording& recording, SimConfig& cfg) {
  cfg.model = recording.model;
  cfg.version = recording.version;
  cfg.firmware = recording.firmware;
  cfg.channels = static_cast<int>(recording.names.size()) + 1;
  std::string names = "Time", units = "s", maxima = "na", minima = "na", types = "T";
  for (size_t c = 0; c < recording.names.size(); ++c) {
    names += "," + recording.names[c];
    units += "," + recording.units[c];
    maxima += "," + Exact(recording.maxima[c]);
    minima += "," + Exact(recording.minima[c]);
    types += ",A";
  }
  cfg.names = names;
  cfg.units = units;
  cfg.maxima = maxima;
  cfg.minima = minima;
  cfg.types = types;
  cfg.periods = Exact(static_cast<double>(recording.periodUs) / 1e6);
  cfg.startPeriod = -1;
  cfg.crc = false;
}

}  // namespace vozisim
