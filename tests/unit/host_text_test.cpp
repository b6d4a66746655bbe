// Host texts: the string-table block walk, the language fall-back, product
// names, and the HRESULT texts and error classes built on them.
#include "text/host_text.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "text/hresult_text.h"
#include "text/xnrv.h"

namespace {

// String-table block bytes: per entry a 16-bit count and the UTF-16 units.
std::vector<uint8_t> Block(const std::vector<std::u16string>& entries) {
  std::vector<uint8_t> bytes;
  const auto put = [&bytes](char16_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (const std::u16string& entry : entries) {
    put(static_cast<char16_t>(entry.size()));
    for (char16_t unit : entry) put(unit);
  }
  return bytes;
}

// Entries 0..15 of a block with `text` at `index` and empty entries elsewhere.
std::vector<uint8_t> BlockWith(unsigned index, const std::u16string& text) {
  std::vector<std::u16string> entries(16);
  entries[index] = text;
  return Block(entries);
}

class FakeTables final : public StringTableSource {
 public:
  std::optional<uint16_t> language;
  std::map<std::pair<uint16_t, int>, std::vector<uint8_t>> blocks;  // (block, language or -1)
  mutable std::vector<std::pair<uint16_t, int>> lookups;

  std::optional<uint16_t> ApplicationLanguage() const override { return language; }
  std::optional<std::span<const uint8_t>> FindBlock(
      void* module, uint16_t block, std::optional<uint16_t> lang) const override {
    EXPECT_EQ(module, nullptr);
    const std::pair<uint16_t, int> key(block, lang ? *lang : -1);
    lookups.push_back(key);
    const auto found = blocks.find(key);
    if (found == blocks.end()) return std::nullopt;
    return std::span<const uint8_t>(found->second);
  }
};

TEST(StringTableEntry, WalksOverThePrecedingEntries) {
  const auto block = Block({u"zero", u"", u"two", u"three"});
  EXPECT_EQ(StringTableEntry(block, 0), u"zero");
  EXPECT_EQ(StringTableEntry(block, 2), u"two");
  EXPECT_EQ(StringTableEntry(block, 3), u"three");
  EXPECT_FALSE(StringTableEntry(block, 1).has_value());  // count 0 counts as missing
  EXPECT_FALSE(StringTableEntry(block, 4).has_value());  // walk reaches the end
  EXPECT_FALSE(StringTableEntry(block, 15).has_value());
}

TEST(StringTableEntry, DamagedBlocksAreNeverReadPastTheirEnd) {
  auto block = Block({u"ok", u"cut short"});
  block.resize(block.size() - 2);  // the last entry claims one unit too many
  EXPECT_EQ(StringTableEntry(block, 0), u"ok");
  EXPECT_FALSE(StringTableEntry(block, 1).has_value());
  const std::vector<uint8_t> odd = {0x01};  // not even a count
  EXPECT_FALSE(StringTableEntry(odd, 0).has_value());
  EXPECT_FALSE(StringTableEntry({}, 0).has_value());
}

TEST(LoadHostText, IdentifierSelectsBlockAndEntry) {
  EXPECT_EQ(StringTableBlock(16), 2);
  EXPECT_EQ(StringTableEntryIndex(16), 0u);
  EXPECT_EQ(StringTableBlock(31), 2);
  EXPECT_EQ(StringTableEntryIndex(31), 15u);
  EXPECT_EQ(StringTableBlock(15), 1);
  EXPECT_EQ(StringTableBlock(0xFFFFFFFFu), 0);  // truncated to 16 bits

  FakeTables tables;
  std::vector<std::u16string> entries(16);
  entries[0] = u"sixteen";
  entries[15] = u"thirty-one";
  tables.blocks[{2, -1}] = Block(entries);
  EXPECT_EQ(LoadHostText(tables, nullptr, 16, false), u"sixteen");
  EXPECT_EQ(LoadHostText(tables, nullptr, 31, false), u"thirty-one");
  EXPECT_EQ(LoadHostText(tables, nullptr, 17, false), u"");
}

TEST(LoadHostText, IdentifierZeroTouchesNoResources) {
  FakeTables tables;
  tables.language = 0x0409;
  EXPECT_EQ(LoadHostText(tables, nullptr, 0, true), u"");
  EXPECT_TRUE(tables.lookups.empty());
}

TEST(LoadHostText, HostLanguageFirstThenTheDefaultTable) {
  FakeTables tables;
  tables.language = 0x0407;
  tables.blocks[{2, 0x0407}] = BlockWith(0, u"Deutsch");
  tables.blocks[{2, -1}] = BlockWith(1, u"default");
  EXPECT_EQ(LoadHostText(tables, nullptr, 16, false), u"Deutsch");
  // Entry missing in the host's language: the default table has it.
  EXPECT_EQ(LoadHostText(tables, nullptr, 17, false), u"default");
  // No table at all in the host's language.
  tables.blocks.erase({2, 0x0407});
  EXPECT_EQ(LoadHostText(tables, nullptr, 17, false), u"default");
  // No application object: only the default table is asked.
  tables.language.reset();
  tables.lookups.clear();
  EXPECT_EQ(LoadHostText(tables, nullptr, 17, false), u"default");
  EXPECT_EQ(tables.lookups.size(), 1u);
}

TEST(ProductNames, RowsInOrderAndCaseSensitive) {
  EXPECT_EQ(SubstituteProductNames(NRV::String(u"KYMOFORWINDOWS and KYMO")),
            u"Kymora and Kymora");
  EXPECT_EQ(SubstituteProductNames(NRV::String(u"Kymo and kymo stay")), u"Kymo and kymo stay");
  EXPECT_EQ(SubstituteProductNames(NRV::String(u"OEM, OEM")), u"Norvatek, Norvatek");
  EXPECT_EQ(SubstituteProductNames(NRV::String(u"ZENTRIX by OEMKYMO")),
            u"Zentrix by NorvatekKymora");
  EXPECT_EQ(SubstituteProductNames(NRV::String(u"KYMOKYMO")), u"KymoraKymora");
  EXPECT_EQ(SubstituteProductNames(NRV::String()), u"");
}

TEST(ProductNames, AppliedOnlyWhenAsked) {
  FakeTables tables;
  tables.blocks[{2, -1}] = BlockWith(0, u"KYMO by OEM");
  EXPECT_EQ(LoadHostText(tables, nullptr, 16, false), u"KYMO by OEM");
  EXPECT_EQ(LoadHostText(tables, nullptr, 16, true), u"Kymora by Norvatek");
}

TEST(HResultText, MakerCodeTable) {
  const std::map<uint32_t, uint32_t> expected = {
      {0xA0048200, 57345}, {0xA0048201, 57346}, {0xA0048202, 57347}, {0xA0048203, 57348},
      {0xA0048204, 57349}, {0xA0048205, 57349}, {0xA0048206, 57352}, {0xA0048207, 57350},
      {0xA0048208, 57351}, {0xA0048209, 57354}, {0xA0048212, 57358}, {0xA004821A, 57359},
      {0xA004821B, 57360}};
  for (uint32_t code = 0xA0048200; code < 0xA0048220; ++code) {
    const auto row = expected.find(code);
    EXPECT_EQ(MakerCodeTextId(code),
              row != expected.end() ? std::optional<uint32_t>(row->second) : std::nullopt)
        << std::hex << code;
  }
  EXPECT_FALSE(MakerCodeTextId(0xA00481FF).has_value());
}

TEST(HResultText, MakerCodesUseHostTexts) {
  FakeTables tables;
  // 57349 is block 3585, entry 5.
  tables.blocks[{3585, -1}] = BlockWith(5, u"Storage failed in KYMO");
  EXPECT_EQ(HResultText(static_cast<HResult>(0xA0048204u), tables), u"Storage failed in Kymora");
  EXPECT_EQ(HResultText(static_cast<HResult>(0x80030105u), tables), u"Storage failed in Kymora");
  EXPECT_EQ(HResultText(static_cast<HResult>(0xA004820Au), tables), u"");  // no entry
  EXPECT_EQ(HResultText(static_cast<HResult>(0xA0048200u), tables), u"");  // not in the table
}

TEST(HResultText, SystemTextIsTidied) {
  EXPECT_EQ(TidySystemText(NRV::String(u"Access is denied.\r\n")), u"Access is denied.");
  EXPECT_EQ(TidySystemText(NRV::String(u"No full stop\r\n")), u"No full stop.");
  EXPECT_EQ(TidySystemText(NRV::String(u"Bare")), u"Bare.");
  EXPECT_EQ(TidySystemText(NRV::String(u"x")), u"x");  // one character: left alone
  EXPECT_EQ(TidySystemText(NRV::String(u"\r\n")), u"");
  EXPECT_EQ(TidySystemText(NRV::String()), u"");
}

TEST(HResultText, Win32FacilityUsesTheLowWord) {
  // 0x80070005 is system error 5.
  const NRV::String text = HResultText(static_cast<HResult>(0x80070005u));
  ASSERT_GT(text.Length(), 1u);
  EXPECT_EQ(text.View().back(), u'.');
  EXPECT_EQ(text.View().find(u'\n'), std::u16string_view::npos);
  EXPECT_EQ(text, HResultText(5));
}

TEST(XNRV, CarriesCodeAndSharedMessage) {
  const XNRV error(kE_FAIL, NRV::String(u"caf\u00E9 failed"));
  EXPECT_EQ(error.code(), kE_FAIL);
  EXPECT_STREQ(error.what(), "caf\xE9 failed");  // thread ANSI code page
  const XNRV copy = error;
  EXPECT_EQ(copy.message().Interface(), error.message().Interface());
  EXPECT_EQ(XNRV(static_cast<HResult>(0x80070005u)).message(),
            HResultText(static_cast<HResult>(0x80070005u)));
  try {
    throw XHResult(kE_ABORT);
  } catch (const XHResult& raised) {
    EXPECT_EQ(raised.code(), kE_ABORT);
  }
}

}  // namespace
