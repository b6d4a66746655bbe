// What the locale set-up touches in a real process: the platform's regional
// settings, the C runtime's numeric locale, the standard library's global
// locale, the host's texts and a message box.
#include <clocale>
#include <map>
#include <mutex>

#include "platform/locale_source.h"
#include "platform/message_box.h"
#include "platform/system_error.h"
#include "text/host_text.h"
#include "text/locale_info.h"

namespace {

constexpr uint32_t kMaxSystemTextChars = 511;

class SystemEnvironment final : public LocaleEnvironment {
 public:
  int ReadInfo(uint32_t type, char16_t* buffer, int size) override {
    return platform::UserLocaleInfo(type, buffer, size);
  }
  int ReadInfoNarrow(uint32_t type, char* buffer, int size) override {
    return platform::UserLocaleInfoNarrow(type, buffer, size);
  }
  std::string NumericLocale() override {
    const char* name = std::setlocale(LC_NUMERIC, nullptr);
    return name != nullptr ? name : "";
  }
  bool SetNumericLocale(const std::string& name) override {
    return std::setlocale(LC_NUMERIC, name.c_str()) != nullptr;
  }
  uint32_t LastError() override { return platform::LastSystemError(); }
  NRV::String SystemErrorText(uint32_t code) override {
    return NRV::String(platform::SystemErrorText(code, kMaxSystemTextChars));
  }
  NRV::String HostText(uint32_t id) override {
    const std::lock_guard lock(mutex_);
    auto found = texts_.find(id);
    if (found == texts_.end()) found = texts_.emplace(id, LoadHostText(nullptr, id, true)).first;
    return found->second;
  }
  std::locale GlobalLocale() override { return std::locale(); }
  std::locale InstallGlobalLocale(const std::locale& locale) override {
    // The standard library hands a named locale's name to the C runtime for
    // every category (setlocale with LC_ALL), which would reset the host's
    // character type, time and other settings with it. Put them back.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string before = current != nullptr ? current : "";
    std::locale previous = std::locale::global(locale);
    if (locale.name() != "*" && !before.empty()) std::setlocale(LC_ALL, before.c_str());
    return previous;
  }
  void ShowMessage(const NRV::String& text, const NRV::String& caption) override {
    platform::ShowTaskModalMessage(text.View(), caption.View());
  }

 private:
  std::mutex mutex_;
  std::map<uint32_t, NRV::String> texts_;  // each host text is loaded once per process
};

}  // namespace

LocaleEnvironment& SystemLocaleEnvironment() {
  static SystemEnvironment environment;
  return environment;
}
