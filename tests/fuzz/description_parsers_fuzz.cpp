// The comma split, the number reading and the five description parsers on an
// arbitrary line.
//
// parseNumber is a hand-written scanner standing in for a classic-locale
// stream read; it must agree with that read (parseNumberReference) bit for
// bit on every text, or a range or period would differ from what the
// instrument meant. The parsers must keep one list entry per field (units and
// names less their "na" and "CRC" fields), whatever the bytes.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "vozi/device_description.h"
#include "vozi/fields.h"

namespace {

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void CheckNumber(std::string_view text) {
  const float fast = parseNumber(text);
  const float reference = parseNumberReference(text);
  FUZZ_CHECK(Bits(fast) == Bits(reference),
             "text \"" + fuzz::Printable(text) + "\": parseNumber " + std::to_string(fast) + " (bits " +
                 std::to_string(Bits(fast)) + "), reference " + std::to_string(reference) + " (bits " +
                 std::to_string(Bits(reference)) + ")");
}

// The fields joined by commas give the line back, less one trailing comma.
void CheckSplit(std::string_view line, const std::vector<std::string_view>& fields) {
  std::string joined;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) joined += ',';
    joined.append(fields[i]);
  }
  const bool trailingComma = !line.empty() && line.back() == ',';
  const std::string_view expected = trailingComma ? line.substr(0, line.size() - 1) : line;
  FUZZ_CHECK(joined == expected,
             "line \"" + fuzz::Printable(line) + "\" joined back as \"" + fuzz::Printable(joined) + "\"");
  for (std::string_view field : fields) {
    FUZZ_CHECK(field.find(',') == std::string_view::npos, "a field holds a comma");
  }
  if (!fields.empty() && !trailingComma) FUZZ_CHECK(!fields.back().empty(), "empty last field kept");
}

// What the period parser must make of one field: seconds to microseconds in
// single precision, truncated; anything out of range is INT32_MIN.
int32_t ExpectedPeriod(std::string_view field) {
  const float product = ToSingle(parseNumberReference(field) * 1000000.0f);
  if (std::isnan(product) || product < -2147483648.0f || product >= 2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(product);
}

void CheckParsers(std::string_view line, const std::vector<std::string_view>& fields) {
  DeviceDescription d;
  d.parsePeriodLine(line);
  d.parseNamesLine(line);
  d.parseUnitsLine(line);
  d.parseMaximaLine(line);
  d.parseMinimaLine(line);
  FUZZ_CHECK(d.IsComplete(), "pending bits left after all five lines");

  size_t crc = 0, na = 0, endOfCycle = 0;
  for (std::string_view f : fields) {
    crc += f == "CRC";
    na += f == "na";
    endOfCycle += f == "EndOfCycle";
  }
  FUZZ_CHECK(d.names.size() == fields.size() - crc, "names: one per field except CRC");
  FUZZ_CHECK(d.hasCrc == (crc > 0), "hasCrc");
  FUZZ_CHECK(d.units.size() == fields.size() - na, "units: one per field except na");
  FUZZ_CHECK(d.maxima.size() == fields.size() && d.minima.size() == fields.size(), "one range value per field");
  FUZZ_CHECK(d.periods.size() == fields.size() - endOfCycle, "periods: one per field except EndOfCycle");
  FUZZ_CHECK(d.hasEndOfCycle == (endOfCycle > 0), "hasEndOfCycle");

  size_t period = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string_view f = fields[i];
    const float maximum = f == "na" ? 32767.0f : parseNumberReference(f);
    const float minimum = f == "na" ? -32767.0f : parseNumberReference(f);
    FUZZ_CHECK(Bits(d.maxima[i]) == Bits(maximum), "maximum of field \"" + fuzz::Printable(f) + "\"");
    FUZZ_CHECK(Bits(d.minima[i]) == Bits(minimum), "minimum of field \"" + fuzz::Printable(f) + "\"");
    if (f != "EndOfCycle") {
      FUZZ_CHECK(d.periods[period] == ExpectedPeriod(f),
                 "period of field \"" + fuzz::Printable(f) + "\" is " + std::to_string(d.periods[period]));
      ++period;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> fields = splitFields(line);
  CheckSplit(line, fields);
  CheckNumber(line);
  for (std::string_view field : fields) CheckNumber(field);
  CheckParsers(line, fields);
  return 0;
}
