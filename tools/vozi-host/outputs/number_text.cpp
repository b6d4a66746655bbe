#include "outputs/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

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

std::string IsoTime(std::chrono::system_clock::time_point t) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms));
  return std::string(text) + fraction;
}

}  // namespace vozihost
