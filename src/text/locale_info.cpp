#include "text/locale_info.h"

#include <array>
#include <memory>
#include <stdexcept>

#include "platform/locale_source.h"
#include "text/format_stream.h"
#include "text/number_facets.h"
#include "text/time_facets.h"

namespace {

constexpr int kSeparatorUnits = 8;
constexpr int kDesignatorUnits = 16;
constexpr int kNumberUnits = 8;
constexpr uint32_t kFirstNumericLocaleError = 0x20000101u;
constexpr uint32_t kLastNumericLocaleError = 0x20000106u;

// _wtoi: optional blanks and sign, then decimal digits up to the first other
// character; 0 when there are none.
int WToI(const char16_t* text) {
  while (*text == u' ' || *text == u'\t') ++text;
  const bool negative = *text == u'-';
  if (*text == u'-' || *text == u'+') ++text;
  long long value = 0;
  for (; *text >= u'0' && *text <= u'9'; ++text) {
    value = value * 10 + (*text - u'0');
    if (value > 0x7FFFFFFF) break;
  }
  return static_cast<int>(negative ? -value : value);
}

// The user's locale with its number punctuation stripped of grouping and the
// maker's time facet added; throws std::runtime_error for an unknown name.
std::locale UserFormat(const char* name) {
  auto time = std::make_unique<NRV::time_getEx>(name);
  auto narrow = std::make_unique<NoThousandsSep<char>>(name);
  auto wide = std::make_unique<NoThousandsSep<wchar_t>>(name);
  std::locale locale(name);
  locale = std::locale(locale, wide.release());
  locale = std::locale(locale, narrow.release());
  return std::locale(locale, time.release());
}

// A locale known by another name than the user's, with the user's own
// decimal and thousands characters. The narrow number facet stays as it is.
std::locale FallbackFormat(const char* name, const std::locale& base, wchar_t decimalPoint,
                           wchar_t thousandsSep) {
  auto time = std::make_unique<NRV::time_getEx>(name);
  auto wide = std::make_unique<CRTBug_UserRadix_NoThousandsSep<wchar_t>>(name, decimalPoint,
                                                                         thousandsSep);
  const std::locale locale(base, wide.release());
  return std::locale(locale, time.release());
}

wchar_t FirstCharacter(std::u16string_view text, wchar_t fallback) {
  return text.empty() ? fallback : static_cast<wchar_t>(text.front());
}

// A narrow stand-in for a wide character: itself when it is ASCII. Only the
// thousands character takes this road, and without grouping no number ever
// shows it.
char AsciiOr(wchar_t c, char fallback) {
  return c > 0 && c < 0x80 ? static_cast<char>(c) : fallback;
}

}  // namespace

LocaleInfo::LocaleInfo(LocaleEnvironment& environment) : environment_(environment) {
  if (!ReadFields()) {
    Show(environment_.HostText(kTextLocaleReadFailed));
    return;
  }
  // Someone (the host, most likely) chose the runtime's number format
  // already: leave the process as it is.
  numericBefore_ = environment_.NumericLocale();
  if (numericBefore_ != "C") return;
  const std::string localeName = InstallGlobalFormat();
  globalInstalled_ = true;
  Show(PendingWarning(localeName));
}

LocaleInfo::~LocaleInfo() {
  if (!globalInstalled_) return;
  // A library that is unloaded must take its facets with it; whatever the
  // host installed since is the host's.
  if (environment_.GlobalLocale() == installedGlobal_) {
    environment_.InstallGlobalLocale(previousGlobal_);
  }
  if (numericChanged_ && environment_.NumericLocale() == numericSet_) {
    environment_.SetNumericLocale(numericBefore_);
  }
}

void LocaleInfo::Install(const std::locale& format) {
  previousGlobal_ = environment_.InstallGlobalLocale(format);
  installedGlobal_ = format;
}

// The user's number format made from the regional settings read above rather
// than from a locale name: the classic locale with the user's decimal and
// thousands characters, narrow and wide, and no grouping.
std::locale LocaleInfo::RegionalFormat() const {
  const wchar_t decimalPoint = FirstCharacter(decimal_, L'.');
  const wchar_t thousandsSep = FirstCharacter(thousands_, L'\0');
  const char narrowDecimal = decimalNarrow_.empty() ? '.' : decimalNarrow_.front();
  auto time = std::make_unique<NRV::time_getEx>("C");
  auto narrow = std::make_unique<CRTBug_UserRadix_NoThousandsSep<char>>(
      "C", narrowDecimal, AsciiOr(thousandsSep, '\0'));
  auto wide = std::make_unique<CRTBug_UserRadix_NoThousandsSep<wchar_t>>("C", decimalPoint,
                                                                         thousandsSep);
  std::locale locale(std::locale::classic(), wide.release());
  locale = std::locale(locale, narrow.release());
  return std::locale(locale, time.release());
}

bool LocaleInfo::ReadText(uint32_t type, std::u16string& field, int units) {
  std::array<char16_t, kDesignatorUnits> buffer{};
  if (environment_.ReadInfo(type, buffer.data(), units) == 0) return false;
  field.assign(buffer.data(), std::char_traits<char16_t>::length(buffer.data()));
  return true;
}

bool LocaleInfo::ReadNumber(uint32_t type, int& value) {
  std::u16string text;
  if (!ReadText(type, text, kNumberUnits)) return false;
  value = WToI(text.c_str());
  return true;
}

bool LocaleInfo::ReadFormat(uint32_t type, NRV::String& field) {
  const int needed = environment_.ReadInfo(type, nullptr, 0);
  if (needed <= 0) return false;
  char16_t* buffer = field.PrepareEmptyBuffer(static_cast<uint32_t>(needed));
  if (environment_.ReadInfo(type, buffer, needed) == 0) return false;
  field.SetLength(static_cast<uint32_t>(std::char_traits<char16_t>::length(buffer)));
  return true;
}

bool LocaleInfo::ReadFields() {
  std::array<char, kSeparatorUnits> narrow{};
  if (environment_.ReadInfoNarrow(platform::kLOCALE_SDECIMAL, narrow.data(), kSeparatorUnits) == 0) {
    return false;
  }
  decimalNarrow_ = narrow.data();
  int is24Hour = 0;
  int markerFirst = 0;
  int codePage = 0;
  const bool read =
      ReadText(platform::kLOCALE_SDECIMAL, decimal_, kSeparatorUnits) &&
      ReadText(platform::kLOCALE_STHOUSAND, thousands_, kSeparatorUnits) &&
      ReadText(platform::kLOCALE_STIME, time_, kSeparatorUnits) &&
      ReadText(platform::kLOCALE_SDATE, date_, kSeparatorUnits) &&
      ReadText(platform::kLOCALE_SLIST, list_, kSeparatorUnits) &&
      ReadText(platform::kLOCALE_S1159, am_, kDesignatorUnits) &&
      ReadText(platform::kLOCALE_S2359, pm_, kDesignatorUnits) &&
      ReadNumber(platform::kLOCALE_ITIME, is24Hour) &&
      ReadNumber(platform::kLOCALE_ITIMEMARKPOSN, markerFirst) &&
      ReadNumber(platform::kLOCALE_IDEFAULTCODEPAGE, codePage);
  is24Hour_ = is24Hour == 1;
  timeMarkerFirst_ = markerFirst != 0;
  codePage_ = static_cast<uint16_t>(codePage);
  return read && ReadFormat(platform::kLOCALE_STIMEFORMAT, timeFormat_) &&
         ReadFormat(platform::kLOCALE_SLONGDATE, longDate_) &&
         ReadFormat(platform::kLOCALE_SSHORTDATE, shortDate_);
}

// Returns the locale name the runtime's numeric locale is then set to.
std::string LocaleInfo::InstallGlobalFormat() {
  const std::string userName = environment_.UserLocaleName();
  try {
    Install(UserFormat(userName.c_str()));
    return userName;
  } catch (const std::runtime_error&) {
    // The standard library does not know the user's locale by its name.
  }
  if (userName.empty()) {
    // The user's default locale, which a C++ runtime with no locale data but
    // the classic one (MinGW's) cannot build: the regional settings describe
    // it all the same, and the C runtime knows it by this name.
    Install(RegionalFormat());
    return userName;
  }
  const wchar_t decimalPoint = FirstCharacter(decimal_, L'.');
  const wchar_t thousandsSep = FirstCharacter(thousands_, L'\0');
  try {
    Install(FallbackFormat("English", std::locale("English"), decimalPoint, thousandsSep));
  } catch (const std::runtime_error&) {
    // Only Windows' runtime knows "English"; elsewhere the classic locale
    // carries the user's decimal point instead.
    Install(FallbackFormat("C", std::locale::classic(), decimalPoint, thousandsSep));
  }
  return "English";
}

NRV::String LocaleInfo::UnusualDecimalWarning() {
  NRV::OFormatStringStream format(environment_.HostText(kTextUnusualDecimal));
  format << NRV::String(decimal_) << NRV::endarg;
  for (const char16_t unit : decimal_) {
    format << L' ' << std::hex << static_cast<unsigned>(unit);
  }
  format << NRV::endarg;
  return format.Result();
}

NRV::String LocaleInfo::PendingWarning(const std::string& localeName) {
  NRV::String warning;
  if (decimal_ == date_) warning = environment_.HostText(kTextDecimalIsDateSeparator);
  if (decimal_ == list_) warning = environment_.HostText(kTextDecimalIsListSeparator);
  if (decimal_.size() != 1 || (decimal_ != u"." && decimal_ != u",")) {
    warning = UnusualDecimalWarning();
  }
  if (environment_.SetNumericLocale(localeName)) {
    numericChanged_ = true;
    numericSet_ = environment_.NumericLocale();
  } else {
    const uint32_t code = environment_.LastError();
    if (code >= kFirstNumericLocaleError && code <= kLastNumericLocaleError) {
      warning = environment_.HostText(kTextFirstNumericLocaleError + (code - kFirstNumericLocaleError));
    } else {
      NRV::OFormatStringStream format(environment_.HostText(kTextNumericLocaleFailed));
      format << environment_.SystemErrorText(code) << NRV::endarg;
      warning = format.Result();
    }
  }
  return warning;
}

void LocaleInfo::Show(const NRV::String& text) {
  // Without the host's string table the texts are empty: nothing to show.
  if (text.IsEmpty()) return;
  environment_.ShowMessage(text, environment_.HostText(kTextLocaleCaption));
}

LocaleInfo& LocaleInfoInstance() {
  static LocaleInfo instance(SystemLocaleEnvironment());
  return instance;
}
