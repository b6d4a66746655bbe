#pragma once
// Numbers as text for files other programs read: always '.' as the decimal
// point whatever the user's locale, no grouping.
#include <cstdint>
#include <string>

namespace vozihost {

// Up to `digits` significant digits, shortest form (as printf "%.7g" does in
// the classic locale): 4.999847, 12345, 1e-05.
std::string FormatNumber(double value, int digits = 7);

// n * periodUs microseconds as seconds with exactly six decimals: exact,
// since the period is a whole number of microseconds.
std::string FormatSampleTime(uint64_t n, int64_t periodUs);

}  // namespace vozihost
