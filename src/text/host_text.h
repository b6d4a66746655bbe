#pragma once
// Texts from the host's string table, in the language of the host's user
// interface when it has one, with the host's product words put in.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "text/nrv_string.h"

// Where string-table blocks come from; the platform's resources by default.
class StringTableSource {
 public:
  virtual ~StringTableSource() = default;
  virtual std::optional<uint16_t> ApplicationLanguage() const = 0;
  virtual std::optional<std::span<const uint8_t>> FindBlock(
      void* module, uint16_t block, std::optional<uint16_t> language) const = 0;
};

// String tables keep sixteen entries per block; block numbers start at 1.
inline uint16_t StringTableBlock(uint32_t id) { return static_cast<uint16_t>((id >> 4) + 1); }
inline unsigned StringTableEntryIndex(uint32_t id) { return id & 15; }

// Entry `entry` of a block's bytes: each entry is a 16-bit unit count and that
// many UTF-16 units. nullopt when the entry lies beyond the data, runs past
// its end, or is empty.
std::optional<std::u16string> StringTableEntry(std::span<const uint8_t> block, unsigned entry);

// Replaces the product words, row by row in a fixed order ("KYMOFORWINDOWS"
// before "KYMO"), never searching a replacement again for the same word.
NRV::String SubstituteProductNames(NRV::String text);

// Text `id` of `module` (null: the host executable); empty when missing.
NRV::String LoadHostText(void* module, uint32_t id, bool substitute);
NRV::String LoadHostText(const StringTableSource& source, void* module, uint32_t id,
                         bool substitute);
