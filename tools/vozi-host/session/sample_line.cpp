#include "session/sample_line.h"

#include <charconv>

namespace vozihost {
namespace {

constexpr int32_t kScaledMax = 32767;

bool ParseInt(std::string_view field, int32_t& value) {
  // from_chars takes a leading '-' but no '+' or spaces, exactly what the
  // enabler writes.
  const char* end = field.data() + field.size();
  const auto [ptr, ec] = std::from_chars(field.data(), end, value);
  return !field.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

LineStatus ParseSampleLine(std::string_view line, const std::vector<bool>& scaled,
                           std::vector<int32_t>& values) {
  if (line.substr(0, 2) != "@ ") return LineStatus::NoPrefix;
  line.remove_prefix(2);
  values.clear();
  // One trailing comma is part of the format; more than one is not.
  if (!line.empty() && line.back() == ',') line.remove_suffix(1);
  const size_t expected = scaled.size();
  if (line.empty()) return expected == 0 ? LineStatus::Ok : LineStatus::WrongCount;
  for (;;) {
    const size_t comma = line.find(',');
    if (values.size() == expected) return LineStatus::WrongCount;
    int32_t value = 0;
    if (!ParseInt(line.substr(0, comma), value)) return LineStatus::NotANumber;
    if (scaled[values.size()] && (value < 0 || value > kScaledMax)) return LineStatus::OutOfRange;
    values.push_back(value);
    if (comma == std::string_view::npos) break;
    line.remove_prefix(comma + 1);
  }
  return values.size() == expected ? LineStatus::Ok : LineStatus::WrongCount;
}

const char* LineStatusText(LineStatus status) {
  switch (status) {
    case LineStatus::Ok: return "ok";
    case LineStatus::NoPrefix: return "no \"@ \" prefix";
    case LineStatus::WrongCount: return "wrong number of values";
    case LineStatus::NotANumber: return "not a number";
    case LineStatus::OutOfRange: return "scaled value out of range";
  }
  return "?";
}

}  // namespace vozihost
