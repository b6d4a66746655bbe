// The pre-release version report: which versions are reported, the text the
// host receives, and the host's two methods called at their positions.
#include "host/version_report.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "platform/bstr.h"
#include "text/nrv_interfaces.h"

namespace {

platform::OwnVersionInfo Info(std::u16string version, uint16_t fourth = 0,
                              std::u16string description = u"Vozi") {
  platform::OwnVersionInfo info;
  info.found = true;
  info.fixedFileVersion[0] = 1;
  info.fixedFileVersion[1] = 1;
  info.fixedFileVersion[2] = 2400;
  info.fixedFileVersion[3] = fourth;
  info.fileVersion = std::move(version);
  info.fileDescription = std::move(description);
  return info;
}

// ---------------------------------------------------------------------------
// A host services object as the host lays it out: a method table of 58
// slots, of which only 0-2, 51 and 57 may be called. Any other slot records
// its number, so that a call at the wrong position fails the test.

using AnySlot = void (*)();
constexpr int kSlots = 58;

int g_unexpectedSlot = -1;

template <int Slot>
void Unexpected() {
  g_unexpectedSlot = Slot;
}

struct FakeHost {
  const AnySlot* table;
  int32_t declineReport = 0;
  int method51Calls = 0;
  int32_t method51Reserved = -1;
  int method57Calls = 0;
  int32_t method57Reserved = -1;
  // Read from the caller's side during method 57.
  std::u16string charsSeen;
  uint32_t lengthSeen = 0;
  platform::VariantBool equalToItself = 0;
  platform::VariantBool equalToSameText = 0;
  platform::VariantBool equalToOtherText = -1;
  uint32_t referencesWhileHeld = 0;  // AddRef's result when the host keeps it
  INRVString* kept = nullptr;
};

// Calls slot `slot` of an INRVString's method table, as the host does.
template <typename Result, typename... Args>
Result CallSlot(INRVString* object, int slot, Args... args) {
  using Method = Result(VOZI_STDCALL*)(INRVString*, Args...);
  const AnySlot* table = *reinterpret_cast<const AnySlot* const*>(object);
  return reinterpret_cast<Method>(table[slot])(object, args...);
}

// A second string of the extension's own kind holding `text`, made through
// the interface as a host would make one.
INRVString* MakeString(INRVString* factory, const std::u16string& text) {
  INRVString* made = nullptr;
  CallSlot<HResult>(factory, 13, static_cast<uint32_t>(text.size()), &made);  // CreateEmpty
  platform::BStr b = platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  CallSlot<HResult>(made, 3, b);  // AssignFromBSTR
  platform::SysFreeString(b);
  return made;
}

HResult VOZI_STDCALL Method51(FakeHost* self, int32_t reserved, int32_t* cellA, int32_t* cellB) {
  ++self->method51Calls;
  self->method51Reserved = reserved;
  *cellA = self->declineReport;
  *cellB = 0x5A5A;
  return kS_OK;
}

HResult VOZI_STDCALL Method57(FakeHost* self, int32_t reserved, INRVString* text) {
  ++self->method57Calls;
  self->method57Reserved = reserved;
  CallSlot<HResult>(text, 6, &self->lengthSeen);          // GetLength
  const char16_t* chars = CallSlot<char16_t*>(text, 18);  // GetChars
  self->charsSeen = chars;
  CallSlot<HResult>(text, 7, text, &self->equalToItself);  // IsEqual
  INRVString* same = MakeString(text, self->charsSeen);
  CallSlot<HResult>(text, 7, same, &self->equalToSameText);
  INRVString* other = MakeString(text, self->charsSeen + u"!");
  CallSlot<HResult>(text, 7, other, &self->equalToOtherText);
  CallSlot<uint32_t>(same, 2);  // Release
  CallSlot<uint32_t>(other, 2);
  self->referencesWhileHeld = CallSlot<uint32_t>(text, 1);  // AddRef: the host keeps it
  self->kept = text;
  return kS_OK;
}

template <int... Slots>
std::array<AnySlot, kSlots> MakeTable(std::integer_sequence<int, Slots...>) {
  return {&Unexpected<Slots>...};
}

const AnySlot* HostTable() {
  static const std::array<AnySlot, kSlots> table = [] {
    auto entries = MakeTable(std::make_integer_sequence<int, kSlots>());
    entries[51] = reinterpret_cast<AnySlot>(&Method51);
    entries[57] = reinterpret_cast<AnySlot>(&Method57);
    return entries;
  }();
  return table.data();
}

class VersionReport : public ::testing::Test {
 protected:
  void SetUp() override {
    g_unexpectedSlot = -1;
    host.table = HostTable();
  }
  void TearDown() override {
    EXPECT_EQ(g_unexpectedSlot, -1) << "a method was called at the wrong position";
    // The host's reference is the last one: the extension kept none.
    if (host.kept != nullptr) {
      EXPECT_EQ(CallSlot<uint32_t>(host.kept, 2), 0u);
    }
  }
  FakeHost host{};
};

// ---------------------------------------------------------------------------

TEST(VersionReportDecision, ReleaseAndPreReleaseWords) {
  EXPECT_FALSE(IsPreReleaseVersion(0, u"1.1.2"));
  EXPECT_TRUE(IsPreReleaseVersion(0, u"1.1.3 beta"));
  EXPECT_TRUE(IsPreReleaseVersion(0, u"1.1.3 Beta"));
  EXPECT_TRUE(IsPreReleaseVersion(0, u"2.0 Alpha"));
  EXPECT_TRUE(IsPreReleaseVersion(0, u"2.0 final"));
  // Revisions and previews are not reported...
  EXPECT_FALSE(IsPreReleaseVersion(0, u"2.0 final rev 2"));
  EXPECT_FALSE(IsPreReleaseVersion(0, u"2.0 preview"));
  // ...unless they are betas: that test comes first.
  EXPECT_TRUE(IsPreReleaseVersion(0, u"2.0 beta rev 2"));
  EXPECT_FALSE(IsPreReleaseVersion(0, u"N/A"));
  EXPECT_FALSE(IsPreReleaseVersion(0, u"beta N/A"));
  // The words are tested case-sensitively after their first letter.
  EXPECT_FALSE(IsPreReleaseVersion(0, u"2.0 BETA"));
  EXPECT_FALSE(IsPreReleaseVersion(0, u""));
}

TEST(VersionReportDecision, FourthComponentFrom1024MarksARelease) {
  EXPECT_FALSE(IsPreReleaseVersion(1024, u"1.1.3 beta"));
  EXPECT_FALSE(IsPreReleaseVersion(65535, u"2.0 Alpha"));
  EXPECT_TRUE(IsPreReleaseVersion(1023, u"1.1.3 beta"));
  EXPECT_FALSE(IsPreReleaseVersion(1023, u"1.1.2"));
}

TEST(VersionReportText, DescriptionBlankVersion) {
  EXPECT_EQ(PreReleaseVersionText(Info(u"1.1.3 beta")), u"Vozi 1.1.3 beta");
  EXPECT_EQ(PreReleaseVersionText(Info(u"2.0 Alpha", 1023)), u"Vozi 2.0 Alpha");
  EXPECT_EQ(PreReleaseVersionText(Info(u"1.1.2")), std::nullopt);
  EXPECT_EQ(PreReleaseVersionText(Info(u"1.1.3 beta", 1024)), std::nullopt);
}

TEST(VersionReportText, MissingPieces) {
  platform::OwnVersionInfo noDescription = Info(u"1.1.3 beta");
  noDescription.fileDescription.reset();
  EXPECT_EQ(PreReleaseVersionText(noDescription), u"N/A 1.1.3 beta");
  platform::OwnVersionInfo noVersion = Info(u"");
  noVersion.fileVersion.reset();
  EXPECT_EQ(PreReleaseVersionText(noVersion), std::nullopt);
  platform::OwnVersionInfo unreadable = Info(u"1.1.3 beta");
  unreadable.found = false;
  EXPECT_EQ(PreReleaseVersionText(unreadable), std::nullopt);
}

TEST(VersionReportText, OverlongTextIsCutTo255Characters) {
  const std::u16string description(300, u'D');
  const std::u16string text = FormatVersionText(description, u"1.1.3 beta");
  EXPECT_EQ(text.size(), 255u);
  EXPECT_EQ(text, description.substr(0, 255));
  // Exactly 255 fits whole; one more loses the version's last character.
  const std::u16string fits(255 - 11, u'd');
  EXPECT_EQ(FormatVersionText(fits, u"1.1.3 beta"), fits + u" 1.1.3 beta");
  EXPECT_EQ(FormatVersionText(fits + u"d", u"1.1.3 beta"), fits + u"d 1.1.3 bet");
}

TEST(VersionReportText, CutNeverSplitsASurrogatePair) {
  std::u16string description(254, u'D');
  description += u"\U0001F600";  // units 254 and 255
  const std::u16string text = FormatVersionText(description, u"beta");
  EXPECT_EQ(text, std::u16string(254, u'D'));
}

TEST_F(VersionReport, PreReleaseHandsTheTextToMethod57) {
  ReportPreReleaseVersion(&host, Info(u"1.1.3 beta"));
  EXPECT_EQ(host.method51Calls, 1);
  EXPECT_EQ(host.method51Reserved, 0);
  ASSERT_EQ(host.method57Calls, 1);
  EXPECT_EQ(host.method57Reserved, 0);
  EXPECT_EQ(host.charsSeen, u"Vozi 1.1.3 beta");
  EXPECT_EQ(host.lengthSeen, 15u);
  EXPECT_EQ(host.equalToItself, platform::kVariantTrue);
  EXPECT_EQ(host.equalToSameText, platform::kVariantTrue);
  EXPECT_EQ(host.equalToOtherText, platform::kVariantFalse);
  // The extension held exactly one reference while the host looked.
  EXPECT_EQ(host.referencesWhileHeld, 2u);
}

TEST_F(VersionReport, ReleaseBuildAsksButReportsNothing) {
  ReportPreReleaseVersion(&host, Info(u"1.1.2"));
  EXPECT_EQ(host.method51Calls, 1);
  EXPECT_EQ(host.method57Calls, 0);
  ReportPreReleaseVersion(&host, Info(u"1.1.3 beta", 1024));
  EXPECT_EQ(host.method57Calls, 0);
}

TEST_F(VersionReport, HostThatDeclinesGetsNoText) {
  host.declineReport = 1;
  ReportPreReleaseVersion(&host, Info(u"1.1.3 beta"));
  EXPECT_EQ(host.method51Calls, 1);
  EXPECT_EQ(host.method57Calls, 0);
  host.declineReport = -1;
  ReportPreReleaseVersion(&host, Info(u"2.0 Alpha"));
  EXPECT_EQ(host.method57Calls, 0);
}

TEST_F(VersionReport, NoServicesNoCalls) {
  ReportPreReleaseVersion(nullptr, Info(u"1.1.3 beta"));
  EXPECT_EQ(host.method51Calls, 0);
}

}  // namespace
