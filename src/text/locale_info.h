#pragma once
// The user's regional settings, read once per process. Setting them up also
// installs the process-wide number format (the user's decimal point, never
// any digit grouping), warns the user about separators that make numbers
// ambiguous, and fixes the code page of every narrow text handed to the host.
#include <cstdint>
#include <locale>
#include <string>
#include <string_view>

#include "text/nrv_string.h"

// Host string identifiers of the set-up's messages.
inline constexpr uint32_t kTextLocaleCaption = 20007;
inline constexpr uint32_t kTextLocaleReadFailed = 20008;
inline constexpr uint32_t kTextDecimalIsDateSeparator = 20009;
inline constexpr uint32_t kTextDecimalIsListSeparator = 20010;
inline constexpr uint32_t kTextUnusualDecimal = 20011;
inline constexpr uint32_t kTextFirstNumericLocaleError = 20012;  // up to 20017
inline constexpr uint32_t kTextNumericLocaleFailed = 20018;

// Everything the set-up asks of the process and the system; the platform's
// by default, replaceable in tests.
class LocaleEnvironment {
 public:
  virtual ~LocaleEnvironment() = default;
  // GetLocaleInfoW / GetLocaleInfoA for the user's default locale.
  virtual int ReadInfo(uint32_t type, char16_t* buffer, int size) = 0;
  virtual int ReadInfoNarrow(uint32_t type, char* buffer, int size) = 0;
  // The name that stands for the user's locale in the standard library.
  virtual const char* UserLocaleName() { return ""; }
  // The C runtime's numeric locale (setlocale for LC_NUMERIC); setting it
  // changes no other category.
  virtual std::string NumericLocale() = 0;
  virtual bool SetNumericLocale(const std::string& name) = 0;
  virtual uint32_t LastError() = 0;
  virtual NRV::String SystemErrorText(uint32_t code) = 0;
  // Host text with product names, loaded at most once per process.
  virtual NRV::String HostText(uint32_t id) = 0;
  // The standard library's global locale. Installing one leaves every
  // category of the C runtime's locale as it was, and returns the one it
  // replaces.
  virtual std::locale GlobalLocale() = 0;
  virtual std::locale InstallGlobalLocale(const std::locale& locale) = 0;
  virtual void ShowMessage(const NRV::String& text, const NRV::String& caption) = 0;
};

LocaleEnvironment& SystemLocaleEnvironment();

class LocaleInfo {
 public:
  // Reads the settings and sets up the process as described above.
  explicit LocaleInfo(LocaleEnvironment& environment);
  // Undoes what the set-up changed and nobody has changed since: the global
  // locale it replaced, and the C runtime's numeric locale. The host's other
  // locale settings are not ours to touch.
  virtual ~LocaleInfo();
  LocaleInfo(const LocaleInfo&) = delete;
  LocaleInfo& operator=(const LocaleInfo&) = delete;

  std::string_view DecimalSeparatorNarrow() const { return decimalNarrow_; }
  std::u16string_view DecimalSeparator() const { return decimal_; }
  std::u16string_view ThousandsSeparator() const { return thousands_; }
  std::u16string_view TimeSeparator() const { return time_; }
  std::u16string_view DateSeparator() const { return date_; }
  std::u16string_view ListSeparator() const { return list_; }
  std::u16string_view AmDesignator() const { return am_; }
  std::u16string_view PmDesignator() const { return pm_; }
  const NRV::String& TimeFormat() const { return timeFormat_; }
  const NRV::String& ShortDateFormat() const { return shortDate_; }
  const NRV::String& LongDateFormat() const { return longDate_; }
  uint16_t CodePage() const { return codePage_; }
  bool Is24HourClock() const { return is24Hour_; }
  bool TimeMarkerFirst() const { return timeMarkerFirst_; }
  bool GlobalFormatInstalled() const { return globalInstalled_; }

 private:
  bool ReadFields();
  bool ReadText(uint32_t type, std::u16string& field, int units);
  bool ReadNumber(uint32_t type, int& value);
  bool ReadFormat(uint32_t type, NRV::String& field);
  std::string InstallGlobalFormat();
  void Install(const std::locale& format);
  std::locale RegionalFormat() const;
  NRV::String PendingWarning(const std::string& localeName);
  NRV::String UnusualDecimalWarning();
  void Show(const NRV::String& text);

  LocaleEnvironment& environment_;
  std::string decimalNarrow_;
  std::u16string decimal_, thousands_, time_, date_, list_, am_, pm_;
  NRV::String timeFormat_, shortDate_, longDate_;
  uint16_t codePage_ = 0;
  bool is24Hour_ = false;
  bool timeMarkerFirst_ = false;
  bool globalInstalled_ = false;
  // What the set-up changed, and what it found before.
  std::locale installedGlobal_, previousGlobal_;
  std::string numericBefore_, numericSet_;
  bool numericChanged_ = false;
};

// The process's instance, set up on the first call. The first call must not
// race with another first call; it comes from the host's thread.
LocaleInfo& LocaleInfoInstance();
