#pragma once
// Numbers as text for files other programs read: always '.' as the decimal
// point whatever the user's locale, no grouping.
#include <chrono>
#include <cstdint>
#include <string>

namespace vozihost {

// Up to `digits` significant digits, shortest form (as printf "%.7g" does in
// the classic locale): 4.999847, 12345, 1e-05.
std::string FormatNumber(double value, int digits = 7);

// n * periodUs microseconds as seconds with exactly six decimals: exact,
// since the period is a whole number of microseconds.
std::string FormatSampleTime(uint64_t n, int64_t periodUs);

// UTC, ISO 8601 with milliseconds: "2026-12-07T20:41:00.123Z".
std::string IsoTime(std::chrono::system_clock::time_point t);

}  // namespace vozihost
