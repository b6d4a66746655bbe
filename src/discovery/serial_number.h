#pragma once
// How an instrument is recognised: by the serial number of its USB-serial
// adapter, which the adapter's driver puts into the device instance ID.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace discovery {

// Vozi adapters are programmed with serial numbers that begin with one of
// these; anything else on the machine is some other product.
inline constexpr char16_t kSerialPrefixZor[] = u"ZOR";
inline constexpr char16_t kSerialPrefixD800[] = u"D800";
// The part of the serial number that names the instrument starts after this
// many characters, whichever prefix matched.
inline constexpr size_t kRemainderOffset = 3;

// In place: keeps what follows the last separator (the whole text when there
// is none), then cuts before the first '\' (nothing when there is none).
// FTDIBUS\VID_0403+PID_6001+ZOR12345A\0000 with '+' gives ZOR12345A.
void ExtractSerial(std::u16string& text, char16_t separator);

// True when the candidate begins with "ZOR" or "D800", exactly and with case.
bool HasVoziPrefix(const std::u16string& candidate);

// The remainder of a Vozi serial number (without its first three characters),
// or nullopt when the candidate is not one we can take. A remainder shorter
// than two characters has no middle to derive an identifier from, so such a
// serial number ("ZOR", "ZOR1", "D800") is not taken for an instrument.
std::optional<std::u16string> VoziRemainder(const std::u16string& candidate);

}  // namespace discovery
