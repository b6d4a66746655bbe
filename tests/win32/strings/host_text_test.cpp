// Host texts read from a real string table: this program's own resources
// (host_strings.rc) stand in for the host executable's, found with
// FindResourceW, or FindResourceExW when the host's user interface names a
// language. Run under Wine by tests/win32/e2e/run-e2e-tests.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/host_string_table.h"
#include "text/host_text.h"

namespace {

std::u16string Load(uint32_t id, bool substitute = false) {
  return LoadHostText(nullptr, id, substitute).ToU16String();
}

// A host whose user interface runs in `language`; the blocks come from the
// platform's resource calls as they do for the library.
class HostInLanguage final : public StringTableSource {
 public:
  explicit HostInLanguage(uint16_t language) : language_(language) {}
  std::optional<uint16_t> ApplicationLanguage() const override { return language_; }
  std::optional<std::span<const uint8_t>> FindBlock(void* module, uint16_t block,
                                                    std::optional<uint16_t> language) const override {
    return platform::FindStringTableBlock(module, block, language);
  }

 private:
  uint16_t language_;
};

constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kFrench = 0x040C;  // no table of its own

// Sixteen texts to a block: an identifier off by one in its block number or
// entry gives a neighbour's text or none.
TEST(HostStringTable, EachIdentifierReadsItsOwnEntry) {
  EXPECT_EQ(Load(16), u"Block two, entry zero");
  EXPECT_EQ(Load(31), u"Block two, entry fifteen");
  EXPECT_EQ(Load(20007), u"KYMO settings");
  for (uint32_t id = 20012; id <= 20018; ++id) {
    SCOPED_TRACE(id);
    const std::string expected = "Text " + std::to_string(id);
    EXPECT_EQ(Load(id), std::u16string(expected.begin(), expected.end()));
  }
  // 20015 ends block 1251, 20016 opens block 1252.
  const auto end = platform::FindStringTableBlock(nullptr, 1251, std::nullopt);
  const auto next = platform::FindStringTableBlock(nullptr, 1252, std::nullopt);
  ASSERT_TRUE(end && next);
  EXPECT_EQ(StringTableEntry(*end, 15), u"Text 20015");
  EXPECT_EQ(StringTableEntry(*next, 0), u"Text 20016");
}

TEST(HostStringTable, AbsentTextsAreEmpty) {
  EXPECT_EQ(Load(0), u"");
  EXPECT_EQ(Load(20006), u"") << "an empty entry of a present block";
  EXPECT_EQ(Load(20019), u"") << "past the last text of the last block";
  EXPECT_EQ(Load(32), u"") << "block 3 does not exist";
  EXPECT_EQ(Load(57345), u"");
}

TEST(HostStringTable, ProductWordsAreReplacedOnlyWhenAsked) {
  EXPECT_EQ(Load(20008, true), u"Kymora cannot read the regional settings of this Kymora installation.");
  EXPECT_EQ(Load(20008, false), u"KYMOFORWINDOWS cannot read the regional settings of this KYMO installation.");
  EXPECT_EQ(Load(20009, true), u"Ask your Norvatek; the Norvatek knows.");
  EXPECT_EQ(Load(20010, true), u"Kymo stays as written, Kymora does not.");
  EXPECT_EQ(Load(20011, true), u"The Zentrix decimal separator %1 (codes%2) is unusual.");
}

TEST(HostStringTable, TheHostsLanguageIsTriedFirstThenTheDefaultTable) {
  const HostInLanguage german(kGerman);
  EXPECT_EQ(LoadHostText(german, nullptr, 16, false), u"Block zwei, Eintrag null");
  EXPECT_EQ(LoadHostText(german, nullptr, 20009, true), u"Fragen Sie Ihren Norvatek.");
  // The German blocks lack these entries: the default table has them.
  EXPECT_EQ(LoadHostText(german, nullptr, 31, false), u"Block two, entry fifteen");
  EXPECT_EQ(LoadHostText(german, nullptr, 20007, true), u"Kymora settings");
  // No German block at all.
  EXPECT_EQ(LoadHostText(german, nullptr, 20016, false), u"Text 20016");

  const HostInLanguage french(kFrench);
  EXPECT_EQ(LoadHostText(french, nullptr, 16, false), u"Block two, entry zero");
}

}  // namespace
