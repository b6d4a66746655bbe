#include "vozi/fields.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <string>

namespace {

// The classic isspace set: space, tab, LF, VT, FF, CR.
bool IsClassicSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Exponents and digit counts are only needed for their sign; capping them
// keeps thousands of digits from overflowing the count.
constexpr int64_t kCountCap = int64_t{1} << 40;
void AddDigit(int64_t& number, char digit) {
  if (number < kCountCap) number = number * 10 + (digit - '0');
}

// The characters a classic-locale float extraction takes, and enough about
// them to tell an overflow from an underflow.
struct NumberText {
  size_t begin = 0;  // first character after the white space
  size_t end = 0;    // first character not taken
  bool negative = false;
  bool positiveSign = false;  // a leading '+' (from_chars does not take it)
  // Decimal exponent of the leading non-zero digit: the value is at least 1
  // when it is 0 or more. Only meaningful for a non-zero mantissa.
  int64_t magnitude = 0;
};

// Scans as the stream's number reader does: optional sign, then digits and at
// most one '.', then an 'e' or 'E' only once a digit has been seen, followed
// by an optional sign and digits. The scan stops at the first character that
// cannot continue the number; a '.' after the 'e' stops it too.
NumberText ScanNumber(std::string_view text, size_t begin) {
  NumberText number;
  number.begin = begin;
  size_t i = begin;
  const size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    number.negative = text[i] == '-';
    number.positiveSign = !number.negative;
    ++i;
  }
  bool mantissa = false, decimal = false, scientific = false, nonZero = false;
  bool exponentNegative = false;
  int64_t integerDigits = 0, fractionZeros = 0, exponent = 0;
  while (i < n) {
    const char c = text[i];
    if (IsDigit(c)) {
      if (scientific) {
        AddDigit(exponent, c);
      } else {
        mantissa = true;
        if (!decimal) {
          nonZero = nonZero || c != '0';
          if (nonZero && integerDigits < kCountCap) ++integerDigits;
        } else if (!nonZero) {
          if (c == '0') {
            if (fractionZeros < kCountCap) ++fractionZeros;
          } else {
            nonZero = true;
          }
        }
      }
    } else if (c == '.' && !decimal && !scientific) {
      decimal = true;
    } else if ((c == 'e' || c == 'E') && !scientific && mantissa) {
      scientific = true;
      ++i;
      if (i < n && (text[i] == '+' || text[i] == '-')) {
        exponentNegative = text[i] == '-';
      } else {
        continue;  // look at this character again as an exponent digit
      }
    } else {
      break;
    }
    ++i;
  }
  number.end = i;
  const int64_t signedExponent = exponentNegative ? -exponent : exponent;
  number.magnitude = integerDigits > 0 ? signedExponent + integerDigits - 1 : signedExponent - fractionZeros - 1;
  return number;
}

}  // namespace

void splitFields(std::string_view line, std::vector<std::string_view>& fields) {
  fields.clear();
  size_t start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    if (comma == std::string_view::npos) {
      if (start < line.size()) fields.push_back(line.substr(start));
      return;
    }
    fields.push_back(line.substr(start, comma - start));
    start = comma + 1;
  }
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  splitFields(line, fields);
  return fields;
}

float parseNumber(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size() && IsClassicSpace(text[begin])) ++begin;
  // Nothing but white space: the stream fails before it reads a number.
  if (begin == text.size()) return kNotANumber;

  const NumberText number = ScanNumber(text, begin);
  const char* first = text.data() + number.begin + (number.positiveSign ? 1 : 0);
  const char* last = text.data() + number.end;
  float value = 0.0f;
  const auto [stop, error] = std::from_chars(first, last, value, std::chars_format::general);
  // The stream converts what it took as a whole ("1e", "1e+", "-", "." fail).
  if (error == std::errc::invalid_argument || stop != last) return kNotANumber;
  if (error == std::errc::result_out_of_range) {
    // The stream's conversion fails on overflow but takes an underflow as
    // the zero it rounds to.
    if (number.magnitude >= 0) return kNotANumber;
    return number.negative ? -0.0f : 0.0f;
  }
  if (std::isinf(value)) return kNotANumber;
  return value;
}

float parseNumberReference(std::string_view text) {
  float value = std::numeric_limits<float>::lowest();
  std::istringstream stream{std::string(text)};
  stream.imbue(std::locale::classic());
  stream >> value;
  // libstdc++ stores 0 (or the largest float) on a failed read; the protocol
  // keeps the lowest float for every failure.
  if (stream.fail()) value = std::numeric_limits<float>::lowest();
  return value;
}

int32_t TruncateToInt32(float value) {
  if (value >= -2147483648.0f && value < 2147483648.0f) return static_cast<int32_t>(value);
  return std::numeric_limits<int32_t>::min();
}
