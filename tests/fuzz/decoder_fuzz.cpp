// Arbitrary descriptions and data lines through the pure decoder core.
//
// Input: a channel count byte, an enabled-set bitmap over fields 0..63 and a
// few extra enabled indices (any 32-bit value), then LF-separated lines: the
// names line, the maxima line, the minima line, then data lines. A data line
// that begins with byte 0x01 instead toggles the enabled state of field
// (next byte % 64) between two decodes, as the host's commands do.
//
// Every decoded text must be exactly what the host is promised: "@ ", for
// each enabled field 1..N-1 in order its value ("0," for "*", otherwise a
// plain decimal integer and a comma unless it is field N-1), one LF. A value
// with a range lies in 0..32767 and is the nearest integer to the scaled
// value; one without is the integer part of the number.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "vozi/device_description.h"
#include "vozi/fields.h"
#include "vozi/sample_decoder.h"

namespace {

constexpr int kBitmapFields = 64;

struct Case {
  int32_t channelCount = 0;
  std::set<int32_t> enabled;  // what the description's set must hold
  DeviceDescription description;
};

// The integer part of a number, INT32_MIN when it has none in 32 bits.
int32_t IntegerPart(float value) {
  if (std::isnan(value) || value < -2147483648.0f || value >= 2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Reads one decimal integer as the decoder must write it: optional '-', no
// leading zeros, no "-0". Advances `at`; false when the text is no such number.
bool ReadInteger(std::string_view text, size_t& at, int64_t& value) {
  const size_t begin = at;
  if (at < text.size() && text[at] == '-') ++at;
  const size_t digits = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  if (at == digits || at - digits > 10) return false;
  if (text[digits] == '0' && (at - digits > 1 || digits != begin)) return false;
  std::from_chars(text.data() + begin, text.data() + at, value);
  return value >= INT32_MIN && value <= INT32_MAX;
}

void CheckScaled(int64_t value, float v, float minimum, float maximum, const std::string& where) {
  FUZZ_CHECK(value >= 0 && value <= 32767, where + ": scaled value " + std::to_string(value) + " outside 0..32767");
  if (!(minimum < maximum) || std::isinf(maximum - minimum)) return;
  // The nearest integer to the scaled value. The definition scales in single
  // precision: four roundings of relative 2^-24 each move the scaled value by
  // less than 0.01 from the exact one computed here in double.
  const double clamped = v < minimum ? minimum : (v > maximum ? maximum : static_cast<double>(v));
  const double ideal = (clamped - minimum) / (static_cast<double>(maximum) - minimum) * 32767.0;
  FUZZ_CHECK(std::fabs(static_cast<double>(value) - ideal) <= 0.5 + 0.01,
             where + ": scaled " + std::to_string(value) + ", expected about " + std::to_string(ideal));
  if (v <= minimum) FUZZ_CHECK(value == 0, where + ": at or below the minimum but not 0");
  if (v >= maximum) FUZZ_CHECK(value == 32767, where + ": at or above the maximum but not 32767");
}

void CheckText(const Case& c, std::string_view line, const std::string& text) {
  const std::vector<std::string_view> fields = splitFields(line);
  const DeviceDescription& d = c.description;
  const size_t n = d.names.size();
  const std::string where = "line \"" + fuzz::Printable(line) + "\" gave \"" + fuzz::Printable(text) + "\"";
  FUZZ_CHECK(text.size() >= 3 && text.compare(0, 2, "@ ") == 0 && text.back() == '\n', where);
  FUZZ_CHECK(text.find('\n') == text.size() - 1, where + ": more than one LF");
  FUZZ_CHECK(n <= 1 || fields.size() >= n, where + ": written although fields are missing");

  size_t at = 2;
  for (size_t i = 1; i < n; ++i) {
    if (c.enabled.count(static_cast<int32_t>(i)) == 0) continue;
    const std::string field = "field " + std::to_string(i);
    if (fields[i] == "*") {
      FUZZ_CHECK(text.compare(at, 2, "0,") == 0, where + ": " + field + " (*) not \"0,\"");
      at += 2;
      continue;
    }
    int64_t value = 0;
    FUZZ_CHECK(ReadInteger(text, at, value), where + ": " + field + " is no plain integer");
    const float v = parseNumberReference(fields[i]);
    if (i < d.minima.size() && i < d.maxima.size()) {
      CheckScaled(value, v, d.minima[i], d.maxima[i], where + ": " + field);
    } else {
      FUZZ_CHECK(value == IntegerPart(v), where + ": " + field + " is not the integer part of the number");
    }
    if (i != n - 1) {
      FUZZ_CHECK(at < text.size() && text[at] == ',', where + ": no comma after " + field);
      ++at;
    }
  }
  FUZZ_CHECK(at == text.size() - 1, where + ": text left over after the last enabled field");
}

void Decode(const Case& c, SampleDecoder& decoder, std::string_view line) {
  std::string text = "stale";
  const bool written = decoder.decodeDataLine(line, c.channelCount, c.description, text);
  const int64_t fields = static_cast<int64_t>(splitFields(line).size());
  const int64_t names = static_cast<int64_t>(c.description.names.size());
  if (fields < c.channelCount) {
    FUZZ_CHECK(!written, "a line with fewer fields than the format line was written");
    return;
  }
  // A line as long as the format line and the names must be written; one
  // shorter than the names (which the handshake never lets happen) may be
  // dropped rather than read past its end.
  if (fields >= names) FUZZ_CHECK(written, "line \"" + fuzz::Printable(line) + "\" dropped");
  if (written) CheckText(c, line, text);
}

std::string_view NextLine(std::string_view& rest) {
  const size_t lf = rest.find('\n');
  const std::string_view line = rest.substr(0, lf);
  rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  Case c;
  c.channelCount = input.Byte() % 40;
  for (int word = 0; word < kBitmapFields / 8; ++word) {
    const uint8_t bits = input.Byte();
    for (int bit = 0; bit < 8; ++bit) {
      if (bits & (1u << bit)) c.enabled.insert(word * 8 + bit);
    }
  }
  const int extra = input.Byte() % 4;
  for (int k = 0; k < extra; ++k) c.enabled.insert(input.Int32());
  for (int32_t index : c.enabled) c.description.EnableChannel(index);

  std::string_view rest = input.Rest();
  c.description.parseNamesLine(NextLine(rest));
  c.description.parseMaximaLine(NextLine(rest));
  c.description.parseMinimaLine(NextLine(rest));

  SampleDecoder decoder;
  while (!rest.empty()) {
    const std::string_view line = NextLine(rest);
    if (!line.empty() && line[0] == '\x01') {
      const int32_t index = line.size() > 1 ? static_cast<uint8_t>(line[1]) % kBitmapFields : 0;
      if (c.enabled.erase(index) != 0) {
        c.description.DisableChannel(index);
      } else {
        c.enabled.insert(index);
        c.description.EnableChannel(index);
      }
      continue;
    }
    Decode(c, decoder, line);
  }
  return 0;
}
