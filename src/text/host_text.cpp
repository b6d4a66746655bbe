#include "text/host_text.h"

#include <utility>
#include <vector>

#include "platform/host_string_table.h"

namespace {

class PlatformStringTables final : public StringTableSource {
 public:
  std::optional<uint16_t> ApplicationLanguage() const override {
    return platform::HostApplicationLanguage();
  }
  std::optional<std::span<const uint8_t>> FindBlock(
      void* module, uint16_t block, std::optional<uint16_t> language) const override {
    return platform::FindStringTableBlock(module, block, language);
  }
};

uint16_t ReadUnit(std::span<const uint8_t> bytes, size_t offset) {
  // Resource data is little-endian UTF-16.
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

using ProductNames = std::vector<std::pair<NRV::String, NRV::String>>;

// Built on the first substituted load, freed at process exit.
const ProductNames& ProductNameTable() {
  static const ProductNames table = {
      {NRV::String(u"KYMOFORWINDOWS"), NRV::String(u"Kymora")},  // application title
      {NRV::String(u"KYMO"), NRV::String(u"Kymora")},            // application name
      {NRV::String(u"ZENTRIX"), NRV::String(u"Zentrix")},        // hardware name
      {NRV::String(u"OEM"), NRV::String(u"Norvatek")},           // OEM name
  };
  return table;
}

std::optional<std::u16string> EntryOf(const StringTableSource& source, void* module,
                                      uint32_t id, std::optional<uint16_t> language) {
  const auto block = source.FindBlock(module, StringTableBlock(id), language);
  if (!block) return std::nullopt;
  return StringTableEntry(*block, StringTableEntryIndex(id));
}

}  // namespace

std::optional<std::u16string> StringTableEntry(std::span<const uint8_t> block, unsigned entry) {
  size_t offset = 0;
  for (unsigned i = 0; i < entry; ++i) {
    if (offset + 2 > block.size()) return std::nullopt;
    offset += 2 + 2 * static_cast<size_t>(ReadUnit(block, offset));
  }
  if (offset + 2 > block.size()) return std::nullopt;
  const size_t count = ReadUnit(block, offset);
  offset += 2;
  // An entry claiming more units than the block holds is damaged: reading it
  // would run past the resource.
  if (count == 0 || offset + 2 * count > block.size()) return std::nullopt;
  std::u16string text(count, u'\0');
  for (size_t i = 0; i < count; ++i) text[i] = ReadUnit(block, offset + 2 * i);
  return text;
}

NRV::String SubstituteProductNames(NRV::String text) {
  for (const auto& [pattern, value] : ProductNameTable()) {
    size_t from = 0;
    for (;;) {
      const size_t at = text.View().find(pattern.View(), from);
      if (at == std::u16string_view::npos) break;
      text.Replace(static_cast<uint32_t>(at), pattern.Length(), value.View());
      from = at + value.Length();
    }
  }
  return text;
}

NRV::String LoadHostText(const StringTableSource& source, void* module, uint32_t id,
                         bool substitute) {
  if (id == 0) return NRV::String();
  std::optional<std::u16string> entry;
  if (const auto language = source.ApplicationLanguage()) {
    entry = EntryOf(source, module, id, language);
  }
  // The host's language may have no table, or not this text: use the default.
  if (!entry) entry = EntryOf(source, module, id, std::nullopt);
  if (!entry) return NRV::String();
  NRV::String text(*entry);
  return substitute ? SubstituteProductNames(std::move(text)) : text;
}

NRV::String LoadHostText(void* module, uint32_t id, bool substitute) {
  static const PlatformStringTables tables;
  return LoadHostText(tables, module, id, substitute);
}
