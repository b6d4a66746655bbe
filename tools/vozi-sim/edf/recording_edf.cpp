// EDF+/BDF+ recordings of vozi-host, read with libedf.
#include <edflib.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "vozi_sim/recording.h"

namespace vozisim {
namespace {

std::string Trimmed(const char* text) {
  std::string s(text);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

struct OpenEdf {
  int handle = -1;
  ~OpenEdf() {
    if (handle >= 0) edfclose_file(handle);
  }
};

}  // namespace

std::optional<std::string> ReadEdfRecording(const std::string& path, Recording& out) {
  out = Recording{};
  auto header = std::make_unique<edf_hdr_struct>();
  OpenEdf file;
  if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
    return "not a readable EDF+/BDF+ file (libedf error " + std::to_string(header->filetype) + ")";
  }
  file.handle = header->handle;
  const edf_hdr_struct& h = *header;
  if (h.edfsignals < 1) return std::string("the file holds no signal");
  const int perRecord = h.signalparam[0].smp_in_datarecord;
  for (int s = 0; s < h.edfsignals; ++s) {
    if (h.signalparam[s].smp_in_datarecord != perRecord || perRecord < 1) {
      return "signal " + std::to_string(s + 1) + " has another sample rate than the first: not a vozi-host recording";
    }
  }
  // Record durations are in units of 100 ns.
  const double periodUs = static_cast<double>(h.datarecord_duration) / 10.0 / perRecord;
  out.periodUs = std::llround(periodUs);
  if (out.periodUs < 1 || std::fabs(periodUs - static_cast<double>(out.periodUs)) > 1e-3) {
    return std::string("its sample period is not a whole number of microseconds");
  }
  // "Vozi <model> <description> fw <a.b.c.firmware>"
  const std::string equipment = Trimmed(h.equipment);
  if (equipment.rfind("Vozi ", 0) == 0) {
    const size_t space = equipment.find(' ', 5);
    out.model = equipment.substr(5, space == std::string::npos ? std::string::npos : space - 5);
    const size_t fw = equipment.rfind(" fw ");
    const size_t last = equipment.rfind('.');
    if (fw != std::string::npos && last != std::string::npos && last > fw + 4 && last + 1 < equipment.size()) {
      out.version = equipment.substr(fw + 4, last - fw - 4);
      out.firmware = equipment.substr(last + 1);
    }
  }

  const long long total = h.datarecords_in_file * perRecord;
  if (total <= 0 || total > (1LL << 31)) return std::string("the file holds no samples, or too many");
  // What vozi-host marks as no sample: its gaps and the last record's padding.
  std::vector<bool> missing(static_cast<size_t>(total), false);
  for (long long a = 0; a < h.annotations_in_file; ++a) {
    edf_annotation_struct note{};
    if (edf_get_annotation(file.handle, static_cast<int>(a), &note) != 0) continue;
    const std::string text = note.annotation;
    const bool gap = text.rfind("BAD lost samples: ", 0) == 0 || text == "BAD padding, no samples";
    if (!gap || note.duration_l < 0) continue;
    const long long first = std::llround(note.onset / 10.0 / periodUs);
    const long long count = std::llround(note.duration_l / 10.0 / periodUs);
    for (long long n = std::max(0LL, first); n < first + count && n < total; ++n) missing[static_cast<size_t>(n)] = true;
  }

  std::vector<std::vector<double>> signals(static_cast<size_t>(h.edfsignals));
  for (int s = 0; s < h.edfsignals; ++s) {
    const edf_param_struct& p = h.signalparam[s];
    out.names.push_back(Trimmed(p.label));
    out.units.push_back(Trimmed(p.physdimension).empty() ? "na" : Trimmed(p.physdimension));
    signals[s].resize(static_cast<size_t>(total));
    if (edfread_physical_samples(file.handle, s, static_cast<int>(total), signals[s].data()) != total) {
      return "signal " + std::to_string(s + 1) + " cannot be read to its end";
    }
  }
  std::vector<double> low(signals.size(), INFINITY), high(signals.size(), -INFINITY);
  for (long long n = 0; n < total; ++n) {
    if (missing[static_cast<size_t>(n)]) continue;
    Recording::Row row{static_cast<uint64_t>(n), {}};
    for (size_t s = 0; s < signals.size(); ++s) {
      const double v = signals[s][static_cast<size_t>(n)];
      row.values.push_back(v);
      low[s] = std::min(low[s], v);
      high[s] = std::max(high[s], v);
    }
    out.rows.push_back(std::move(row));
  }
  if (out.rows.empty()) return std::string("the recording holds no sample");
  const uint64_t first = out.rows.front().n;
  for (Recording::Row& row : out.rows) row.n -= first;
  for (int s = 0; s < h.edfsignals; ++s) {
    const edf_param_struct& p = h.signalparam[s];
    // A scaled channel (digital 0..32767) keeps the instrument's own range;
    // an unscaled one (BDF+) gets the range of its values, as from a CSV.
    if (p.dig_min == 0 && p.dig_max == 32767 && p.phys_max > p.phys_min) {
      out.minima.push_back(static_cast<float>(p.phys_min));
      out.maxima.push_back(static_cast<float>(p.phys_max));
    } else {
      float minimum = 0, maximum = 0;
      RangeOf(low[s], high[s], minimum, maximum);
      out.minima.push_back(minimum);
      out.maxima.push_back(maximum);
    }
  }
  return std::nullopt;
}

}  // namespace vozisim
