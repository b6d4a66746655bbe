// Regional settings on Linux: the C library's data for the user's locale (the
// one the environment names, as setlocale(LC_ALL, "") would pick), shaped like
// the values Windows gives: separators as texts, time and date formats as
// Windows pictures ("HH:mm:ss"), flags as "0"/"1", the code page as a number.
#include "platform/locale_source.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/posix/iconv_codec.h"
#include "platform/posix/utf8_codec.h"

namespace platform {
namespace {

class UserLocale {
 public:
  UserLocale() : locale_(newlocale(LC_ALL_MASK, "", nullptr)) {
    // A locale the environment names but the system lacks: the C library's
    // own data, as programs that call setlocale(LC_ALL, "") end up with.
    if (locale_ == nullptr) locale_ = newlocale(LC_ALL_MASK, "C", nullptr);
  }
  ~UserLocale() {
    if (locale_ != nullptr) freelocale(locale_);
  }
  UserLocale(const UserLocale&) = delete;
  UserLocale& operator=(const UserLocale&) = delete;

  std::string Info(nl_item item) const {
    const char* value = locale_ != nullptr ? nl_langinfo_l(item, locale_) : nullptr;
    return value != nullptr ? value : "";
  }

  std::u16string Text(nl_item item) const {
    const std::string bytes = Info(item);
    const std::string codeset = Info(CODESET);
    if (codeset == "UTF-8") return utf8::Decode(bytes);
    return iconv_codec::DecodeCharset(bytes, codeset).value_or(utf8::Decode(bytes));
  }

 private:
  locale_t locale_;
};

std::u16string Ascii(const std::string& text) { return {text.begin(), text.end()}; }

// Composite conversions spelt out, so that only single ones remain.
std::string Expand(const std::string& format) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    const char conversion = format[++i];
    if (conversion == 'T') out += "%H:%M:%S";
    else if (conversion == 'R') out += "%H:%M";
    else if (conversion == 'r') out += "%I:%M:%S %p";
    else if (conversion == 'D') out += "%m/%d/%y";
    else if (conversion == 'F') out += "%Y-%m-%d";
    else out += std::string("%") + conversion;
  }
  return out;
}

// The literal text between the first two conversions: "." for "%d.%m.%Y".
std::string Separator(const std::string& format, const std::string& fallback) {
  const std::string expanded = Expand(format);
  const size_t first = expanded.find('%');
  if (first == std::string::npos || first + 2 > expanded.size()) return fallback;
  const size_t next = expanded.find('%', first + 2);
  const std::string between = expanded.substr(first + 2, next - (first + 2));
  return between.empty() ? fallback : between;
}

const char* PictureOf(char conversion) {
  switch (conversion) {
    case 'H': return "HH";
    case 'k': return "H";
    case 'I': return "hh";
    case 'l': return "h";
    case 'M': return "mm";
    case 'S': return "ss";
    case 'p': case 'P': return "tt";
    case 'd': return "dd";
    case 'e': return "d";
    case 'm': return "MM";
    case 'y': return "yy";
    case 'Y': return "yyyy";
    case 'b': case 'h': return "MMM";
    case 'B': return "MMMM";
    case 'a': return "ddd";
    case 'A': return "dddd";
    case 'n': case 't': return " ";
    case '%': return "%";
    default: return "";  // nothing Windows pictures can say
  }
}

// A strftime format as a Windows picture; literal letters are quoted.
std::string Picture(const std::string& format) {
  const std::string expanded = Expand(format);
  std::string out;
  for (size_t i = 0; i < expanded.size(); ++i) {
    const char c = expanded[i];
    if (c == '%' && i + 1 < expanded.size()) {
      size_t j = i + 1;
      while (j < expanded.size() && std::string_view("EO-_0^#").find(expanded[j]) != std::string::npos) ++j;
      if (j < expanded.size()) out += PictureOf(expanded[j]);
      i = j;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      out += std::string("'") + c + "'";
    } else {
      out += c;
    }
  }
  return out;
}

// The long date is not kept by the C library apart from the short one: the
// short date with the month and the year written out, after the weekday.
std::string LongDateFormat(std::string format) {
  for (size_t at = format.find("%m"); at != std::string::npos; at = format.find("%m", at)) {
    format.replace(at, 2, "%B");
  }
  for (size_t at = format.find("%y"); at != std::string::npos; at = format.find("%y", at)) {
    format.replace(at, 2, "%Y");
  }
  return "%A, " + format;
}

bool Uses24HourClock(const std::string& timeFormat) {
  const std::string expanded = Expand(timeFormat);
  return expanded.find("%H") != std::string::npos || expanded.find("%k") != std::string::npos;
}

bool MarkerFirst(const std::string& ampmFormat) {
  const std::string expanded = Expand(ampmFormat);
  const size_t marker = expanded.find("%p");
  const size_t hour = expanded.find("%I");
  return marker != std::string::npos && hour != std::string::npos && marker < hour;
}

std::optional<std::u16string> Value(uint32_t type) {
  const UserLocale locale;
  switch (type) {
    case kLOCALE_SDECIMAL: return locale.Text(RADIXCHAR);
    case kLOCALE_STHOUSAND: return locale.Text(THOUSEP);
    case kLOCALE_STIME: return Ascii(Separator(locale.Info(T_FMT), ":"));
    case kLOCALE_SDATE: return Ascii(Separator(locale.Info(D_FMT), "/"));
    // No list separator in the C library: Windows' rule of thumb.
    case kLOCALE_SLIST: return locale.Text(RADIXCHAR) == u"," ? u";" : u",";
    case kLOCALE_S1159: return locale.Text(AM_STR);
    case kLOCALE_S2359: return locale.Text(PM_STR);
    case kLOCALE_STIMEFORMAT: return Ascii(Picture(locale.Info(T_FMT)));
    case kLOCALE_SSHORTDATE: return Ascii(Picture(locale.Info(D_FMT)));
    case kLOCALE_SLONGDATE: return Ascii(Picture(LongDateFormat(locale.Info(D_FMT))));
    case kLOCALE_ITIME: return Uses24HourClock(locale.Info(T_FMT)) ? u"1" : u"0";
    case kLOCALE_ITIMEMARKPOSN: return MarkerFirst(locale.Info(T_FMT_AMPM)) ? u"1" : u"0";
    case kLOCALE_IDEFAULTCODEPAGE: {
      const uint32_t codePage = iconv_codec::CodePageOfCharset(locale.Info(CODESET)).value_or(kCP_UTF8);
      return Ascii(std::to_string(codePage));
    }
    default: return std::nullopt;
  }
}

template <typename Char, typename Text>
int CopyOut(const std::optional<Text>& value, Char* buffer, int size) {
  if (!value) return 0;
  const auto needed = static_cast<int>(value->size() + 1);
  if (size == 0) return needed;
  if (buffer == nullptr || size < needed) return 0;
  std::copy(value->begin(), value->end(), buffer);
  buffer[value->size()] = Char();
  return needed;
}

}  // namespace

int UserLocaleInfo(uint32_t type, char16_t* buffer, int size) {
  return CopyOut(Value(type), buffer, size);
}

int UserLocaleInfoNarrow(uint32_t type, char* buffer, int size) {
  const auto wide = Value(type);
  // The narrow calls answer in the ANSI code page.
  const auto narrow = wide ? WideToNarrow(*wide, kCP_ACP) : std::nullopt;
  return CopyOut(narrow, buffer, size);
}

}  // namespace platform
