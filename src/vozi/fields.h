#pragma once
// The two readings every protocol line goes through: the comma split into
// fields and the classic-locale number reading of a field.
//
// Lines arrive as bytes and the system reads them as text in the ANSI code
// page, one UTF-16 unit per byte and back again unchanged; so splitting,
// whole-field comparisons and number reading work on the bytes themselves.
#include <cstdint>
#include <string_view>
#include <vector>

// Fields of a line: a ',' ends the current field (empty ones included); the
// last field is kept only when it is not empty, so a trailing comma adds no
// field and an empty line has none. Nothing is trimmed.
std::vector<std::string_view> splitFields(std::string_view line);
// The same into `fields`, reusing its storage (the decoder's hot path).
void splitFields(std::string_view line, std::vector<std::string_view>& fields);

// The field read as a 32-bit float exactly as a classic-locale input stream
// reads it: leading white space skipped, optional sign, digits, '.', digits,
// exponent; trailing text ignored. A field that is no number, or a number
// beyond the float range, gives the lowest finite float.
float parseNumber(std::string_view text);

// The definition parseNumber must always agree with, bit for bit: the stream
// read itself. Slow (a stream and a string per call); kept as the oracle for
// the differential tests and the fuzzer.
float parseNumberReference(std::string_view text);

// What parseNumber gives for text that is not a number.
inline constexpr float kNotANumber = -3.40282346638528859812e+38F;

// A float truncated toward zero to a signed 32-bit integer; a value outside
// that range (and NaN) gives INT32_MIN, as the x86 conversion does, instead of
// the undefined behaviour of a plain cast.
int32_t TruncateToInt32(float value);

// Rounds an intermediate result to single precision. The x87 unit of 32-bit
// Windows builds keeps floats in extended precision until they are stored;
// the scaling and the period conversion are defined in single precision.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
inline float ToSingle(float value) {
  volatile float stored = value;
  return stored;
}
#else
inline float ToSingle(float value) { return value; }
#endif
