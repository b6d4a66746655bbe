// Regional settings: the set-up's reading, global number format, warnings,
// and the number facets it installs.
#include "text/locale_info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iomanip>
#include <map>
#include <sstream>
#include <vector>

#include "platform/locale_source.h"
#include "text/number_facets.h"

namespace {

using namespace platform;

class FakeEnvironment final : public LocaleEnvironment {
 public:
  std::map<uint32_t, std::u16string> values = {
      {kLOCALE_SDECIMAL, u"."},     {kLOCALE_STHOUSAND, u","},
      {kLOCALE_STIME, u":"},        {kLOCALE_SDATE, u"/"},
      {kLOCALE_SLIST, u","},        {kLOCALE_S1159, u"AM"},
      {kLOCALE_S2359, u"PM"},       {kLOCALE_ITIME, u"1"},
      {kLOCALE_ITIMEMARKPOSN, u"0"}, {kLOCALE_IDEFAULTCODEPAGE, u"850"},
      {kLOCALE_STIMEFORMAT, u"HH:mm:ss"}, {kLOCALE_SSHORTDATE, u"dd/MM/yyyy"},
      {kLOCALE_SLONGDATE, u"dddd, d MMMM yyyy"}};
  std::map<uint32_t, std::u16string> hostTexts = {
      {20007, u"Regional settings"}, {20008, u"cannot read"}, {20009, u"decimal is date"},
      {20010, u"decimal is list"},   {20011, u"unusual '%1' (%2)"}, {20014, u"runtime 3"},
      {20018, u"runtime: %1"}};
  const char* userLocale = "C";
  std::string numericLocale = "C";
  bool numericLocaleAccepted = true;
  uint32_t lastError = 0;
  std::vector<std::pair<std::u16string, std::u16string>> shown;
  std::vector<std::locale> installed;
  std::string numericLocaleSet;

  int ReadInfo(uint32_t type, char16_t* buffer, int size) override {
    const auto found = values.find(type);
    if (found == values.end()) return 0;
    const int needed = static_cast<int>(found->second.size() + 1);
    if (size == 0) return needed;
    if (size < needed) return 0;
    std::copy(found->second.begin(), found->second.end(), buffer);
    buffer[found->second.size()] = u'\0';
    return needed;
  }
  int ReadInfoNarrow(uint32_t type, char* buffer, int size) override {
    std::u16string wide(8, u'\0');
    const int length = ReadInfo(type, wide.data(), size);
    for (int i = 0; i < length; ++i) buffer[i] = static_cast<char>(wide[i]);
    return length;
  }
  const char* UserLocaleName() override { return userLocale; }
  std::string NumericLocale() override { return numericLocale; }
  bool SetNumericLocale(const std::string& name) override {
    numericLocaleSet = name;
    if (numericLocaleAccepted) numericLocale = name.empty() ? "de_DE" : name;
    return numericLocaleAccepted;
  }
  uint32_t LastError() override { return lastError; }
  NRV::String SystemErrorText(uint32_t code) override {
    return NRV::String(u"system text " + std::u16string(1, char16_t(u'0' + code)));
  }
  NRV::String HostText(uint32_t id) override {
    const auto found = hostTexts.find(id);
    return found != hostTexts.end() ? NRV::String(found->second) : NRV::String();
  }
  std::locale GlobalLocale() override {
    return installed.empty() ? std::locale::classic() : installed.back();
  }
  std::locale InstallGlobalLocale(const std::locale& locale) override {
    const std::locale previous = GlobalLocale();
    installed.push_back(locale);
    return previous;
  }
  void ShowMessage(const NRV::String& text, const NRV::String& caption) override {
    shown.emplace_back(text.ToU16String(), caption.ToU16String());
  }

  std::u16string OnlyMessage() const {
    EXPECT_EQ(shown.size(), 1u);
    if (shown.empty()) return u"<none>";
    EXPECT_EQ(shown[0].second, u"Regional settings");
    return shown[0].first;
  }
};

std::wstring Format(const std::locale& locale, double value) {
  std::wostringstream out;
  out.imbue(locale);
  out << std::fixed << std::setprecision(1) << value << L' ' << 1234567;
  return out.str();
}

TEST(LocaleInfo, ReadsEveryField) {
  FakeEnvironment environment;
  const LocaleInfo info(environment);
  EXPECT_EQ(info.DecimalSeparatorNarrow(), ".");
  EXPECT_EQ(info.ThousandsSeparator(), u",");
  EXPECT_EQ(info.AmDesignator(), u"AM");
  EXPECT_EQ(info.CodePage(), 850);
  EXPECT_TRUE(info.Is24HourClock());
  EXPECT_FALSE(info.TimeMarkerFirst());
  EXPECT_EQ(info.TimeFormat(), u"HH:mm:ss");
  EXPECT_EQ(info.LongDateFormat(), u"dddd, d MMMM yyyy");
  EXPECT_EQ(info.ShortDateFormat(), u"dd/MM/yyyy");
  EXPECT_TRUE(info.GlobalFormatInstalled());
  EXPECT_TRUE(environment.shown.empty());
  EXPECT_EQ(environment.numericLocaleSet, "C");
}

TEST(LocaleInfo, UnreadableSettingsShowTheSetUpError) {
  FakeEnvironment environment;
  environment.values.erase(kLOCALE_SLIST);
  const LocaleInfo info(environment);
  EXPECT_EQ(environment.OnlyMessage(), u"cannot read");
  EXPECT_FALSE(info.GlobalFormatInstalled());
  EXPECT_TRUE(environment.installed.empty());
  EXPECT_EQ(info.DecimalSeparator(), u".");  // what was read before stays

  FakeEnvironment tooLong;
  tooLong.values[kLOCALE_SDATE] = u"12345678";  // does not fit 8 units with its terminator
  EXPECT_FALSE(LocaleInfo(tooLong).GlobalFormatInstalled());
  EXPECT_EQ(tooLong.OnlyMessage(), u"cannot read");
}

TEST(LocaleInfo, RuntimeAlreadyLocalisedMeansNoFormatAndNoWarning) {
  FakeEnvironment environment;
  environment.numericLocale = "German_Germany.1252";
  environment.values[kLOCALE_SDECIMAL] = u"/";  // would warn otherwise
  const LocaleInfo info(environment);
  EXPECT_FALSE(info.GlobalFormatInstalled());
  EXPECT_TRUE(environment.installed.empty());
  EXPECT_TRUE(environment.shown.empty());
  EXPECT_EQ(environment.numericLocaleSet, "");
}

TEST(LocaleInfo, SeparatorChecksLaterFindingsWin) {
  struct Case {
    std::u16string decimal, date, list;
    std::u16string expected;
  };
  for (const Case& c : {Case{u",", u".", u",", u"decimal is list"},
                        Case{u".", u".", u";", u"decimal is date"},
                        Case{u".", u".", u".", u"decimal is list"},
                        Case{u",,", u",,", u";", u"unusual ',,' ( 2c 2c)"},
                        Case{u"\u066B", u"/", u";", u"unusual '\u066B' ( 66b)"}}) {
    FakeEnvironment environment;
    environment.values[kLOCALE_SDECIMAL] = c.decimal;
    environment.values[kLOCALE_SDATE] = c.date;
    environment.values[kLOCALE_SLIST] = c.list;
    const LocaleInfo info(environment);
    EXPECT_EQ(environment.OnlyMessage(), c.expected);
  }
}

TEST(LocaleInfo, NumericLocaleFailureWarnings) {
  FakeEnvironment known;
  known.numericLocaleAccepted = false;
  known.lastError = 0x20000103;
  const LocaleInfo first(known);
  EXPECT_EQ(known.OnlyMessage(), u"runtime 3");

  FakeEnvironment other;
  other.numericLocaleAccepted = false;
  other.lastError = 2;
  const LocaleInfo second(other);
  EXPECT_EQ(other.OnlyMessage(), u"runtime: system text 2");

  FakeEnvironment withoutText;  // host text 20012 is missing: nothing to show
  withoutText.numericLocaleAccepted = false;
  withoutText.lastError = 0x20000101;
  const LocaleInfo third(withoutText);
  EXPECT_TRUE(withoutText.shown.empty());
}

TEST(LocaleInfo, UnloadUndoesOnlyWhatTheSetUpChangedAndNobodyChangedSince) {
  const std::locale hostLocale(std::locale::classic(), new NoThousandsSep<char>("C"));
  for (const bool hostChangedThem : {false, true}) {
    SCOPED_TRACE(hostChangedThem ? "host changed them since" : "untouched since");
    FakeEnvironment environment;
    environment.userLocale = "C.UTF-8";
    {
      const LocaleInfo info(environment);
      ASSERT_EQ(environment.installed.size(), 1u);
      EXPECT_EQ(Format(environment.installed[0], 1234567.5), L"1234567.5 1234567");
      EXPECT_EQ(std::use_facet<std::numpunct<char>>(environment.installed[0]).grouping(), "");
      EXPECT_EQ(environment.numericLocale, "C.UTF-8");
      if (hostChangedThem) {
        environment.installed.push_back(hostLocale);
        environment.numericLocale = "POSIX";
      }
    }
    if (hostChangedThem) {
      EXPECT_EQ(environment.installed.size(), 2u);
      EXPECT_EQ(environment.numericLocale, "POSIX");
    } else {
      ASSERT_EQ(environment.installed.size(), 2u);
      EXPECT_TRUE(environment.installed[1] == std::locale::classic());
      EXPECT_EQ(environment.numericLocale, "C");
    }
  }
}

// MinGW's C++ runtime knows no locale but the classic one; the user's number
// format must come from the regional settings, narrow as well as wide, and
// the C runtime must be given the user's default locale, not "English".
TEST(LocaleInfo, UserDefaultUnknownToTheLibraryIsBuiltFromTheRegionalSettings) {
  const char* saved = std::getenv("LC_ALL");
  const std::string savedValue = saved != nullptr ? saved : "";
  setenv("LC_ALL", "no_SUCH.locale", 1);  // std::locale("") now throws
  FakeEnvironment environment;
  environment.userLocale = "";
  environment.values[kLOCALE_SDECIMAL] = u",";
  environment.values[kLOCALE_STHOUSAND] = u".";
  environment.values[kLOCALE_SDATE] = u".";
  environment.values[kLOCALE_SLIST] = u";";
  {
    const LocaleInfo info(environment);
    EXPECT_TRUE(environment.shown.empty());
    EXPECT_EQ(environment.numericLocaleSet, "");
    ASSERT_EQ(environment.installed.size(), 1u);
    EXPECT_EQ(Format(environment.installed[0], 1234567.5), L"1234567,5 1234567");
    std::ostringstream narrow;
    narrow.imbue(environment.installed[0]);
    narrow << std::fixed << std::setprecision(1) << 1234567.5 << ' ' << 1234567;
    EXPECT_EQ(narrow.str(), "1234567,5 1234567");
    EXPECT_EQ(std::use_facet<std::numpunct<char>>(environment.installed[0]).thousands_sep(), '.');
  }
  if (saved != nullptr) {
    setenv("LC_ALL", savedValue.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

TEST(LocaleInfo, UnknownUserLocaleFallsBackWithTheUserDecimalPoint) {
  FakeEnvironment environment;
  environment.userLocale = "no_SUCH.locale";
  environment.values[kLOCALE_SDECIMAL] = u",";
  environment.values[kLOCALE_STHOUSAND] = u".";
  environment.values[kLOCALE_SLIST] = u";";
  const LocaleInfo info(environment);
  ASSERT_EQ(environment.installed.size(), 1u);
  EXPECT_EQ(Format(environment.installed[0], 1234567.5), L"1234567,5 1234567");
  EXPECT_EQ(environment.numericLocaleSet, "English");
}

TEST(NumberFacets, UserRadixWithoutGrouping) {
  const std::locale comma(std::locale::classic(),
                          new CRTBug_UserRadix_NoThousandsSep<wchar_t>("C", L',', L'.'));
  EXPECT_EQ(Format(comma, 1234567.5), L"1234567,5 1234567");
  const auto& punct = std::use_facet<std::numpunct<wchar_t>>(comma);
  EXPECT_EQ(punct.thousands_sep(), L'.');
  EXPECT_EQ(punct.grouping(), "");
  EXPECT_THROW(NoThousandsSep<char>("no_SUCH.locale"), std::runtime_error);
}

// The Linux source of the settings, under the C library's own locale.
TEST(LocaleSource, ClassicLocaleValues) {
  const char* saved = std::getenv("LC_ALL");
  const std::string savedValue = saved != nullptr ? saved : "";
  setenv("LC_ALL", "C.UTF-8", 1);
  const auto read = [](uint32_t type) {
    const int size = UserLocaleInfo(type, nullptr, 0);
    std::u16string value(size > 0 ? size : 1, u'#');
    EXPECT_EQ(UserLocaleInfo(type, value.data(), size), size);
    value.resize(size > 0 ? size - 1 : 0);
    return value;
  };
  EXPECT_EQ(read(kLOCALE_SDECIMAL), u".");
  EXPECT_EQ(read(kLOCALE_STIME), u":");
  EXPECT_EQ(read(kLOCALE_SDATE), u"/");
  EXPECT_EQ(read(kLOCALE_SLIST), u",");
  EXPECT_EQ(read(kLOCALE_STIMEFORMAT), u"HH:mm:ss");
  EXPECT_EQ(read(kLOCALE_SSHORTDATE), u"MM/dd/yy");
  EXPECT_EQ(read(kLOCALE_ITIME), u"1");
  EXPECT_EQ(read(kLOCALE_IDEFAULTCODEPAGE), u"65001");
  char16_t small[1];
  EXPECT_EQ(UserLocaleInfo(kLOCALE_SDECIMAL, small, 1), 0);  // no room for the terminator
  EXPECT_EQ(UserLocaleInfo(0x7777, nullptr, 0), 0);
  char narrow[8];
  EXPECT_EQ(UserLocaleInfoNarrow(kLOCALE_S1159, narrow, 8), 3);
  EXPECT_STREQ(narrow, "AM");
  if (saved != nullptr) {
    setenv("LC_ALL", savedValue.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

}  // namespace
