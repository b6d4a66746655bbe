#include "number_text.h"

#include <charconv>
#include <cmath>

namespace vozihost {

std::string FormatNumber(double value, int digits) {
  if (std::isnan(value)) return "nan";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
  return std::string(buffer, result.ptr);
}

std::string FormatSampleTime(uint64_t n, int64_t periodUs) {
  const uint64_t us = n * static_cast<uint64_t>(periodUs > 0 ? periodUs : 0);
  const std::string fraction = std::to_string(us % 1000000 + 1000000).substr(1);
  return std::to_string(us / 1000000) + "." + fraction;
}

}  // namespace vozihost
