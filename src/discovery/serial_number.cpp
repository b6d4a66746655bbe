#include "discovery/serial_number.h"

#include "discovery/device_probe.h"
#include "platform/port_walk.h"

namespace discovery {

void ExtractSerial(std::u16string& text, char16_t separator) {
  const size_t last = text.rfind(separator);
  if (last != std::u16string::npos) text.erase(0, last + 1);
  const size_t backslash = text.find(u'\\');
  if (backslash != std::u16string::npos) text.erase(backslash);
}

bool HasVoziPrefix(const std::u16string& candidate) {
  // starts_with is false for a candidate shorter than the prefix.
  return candidate.starts_with(kSerialPrefixZor) || candidate.starts_with(kSerialPrefixD800);
}

std::optional<std::u16string> VoziRemainder(const std::u16string& candidate) {
  if (!HasVoziPrefix(candidate)) return std::nullopt;
  if (candidate.size() < kRemainderOffset + 2) return std::nullopt;
  return candidate.substr(kRemainderOffset);
}

}  // namespace discovery

// Both platforms' enumerators cut the serial number out of an instance ID the
// same way; the rule lives here with the other serial-number rules.
void platform::PortEnumerator::ExtractSerial(std::u16string& text, char16_t separator) {
  discovery::ExtractSerial(text, separator);
}

int32_t UniqueIdFromSerial(const std::u16string& remainder) {
  // The middle: without the first two and the last two characters. With two
  // or three characters the middle runs from position 2 to the end.
  const size_t n = remainder.size();
  if (n < 2) return 0;  // no middle at all; such serial numbers are not taken
  const size_t count = n >= 4 ? n - 4 : n - 2;
  const std::u16string_view middle = std::u16string_view(remainder).substr(2, count);
  // Base-42 digits counted from '0'; the arithmetic wraps as 32-bit
  // two's-complement, so it is done unsigned.
  uint32_t value = 0;
  for (char16_t c : middle) {
    value = value * 42u + (static_cast<uint32_t>(c) - 48u);
  }
  return static_cast<int32_t>(value);
}
