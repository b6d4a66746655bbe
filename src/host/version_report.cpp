#include "host/version_report.h"

#include "platform/host_services.h"
#include "text/com_unknown.h"
#include "text/nrv_string.h"

namespace {

// The host publishes no header for its services interface: we know only the
// positions of the two methods we call, counted from 0 with the IUnknown
// methods included, and their parameters. They are called through the
// object's method table by position.
constexpr int kAskReportMethod = 51;    // (0, &cellA, &cellB); cellA != 0: no report wanted
constexpr int kTakeVersionMethod = 57;  // (0, INRVString*)

using AnySlot = void (*)();
using AskReportFn = HResult(VOZI_STDCALL*)(void* self, int32_t reserved, int32_t* cellA,
                                           int32_t* cellB);
using TakeVersionFn = HResult(VOZI_STDCALL*)(void* self, int32_t reserved, INRVString* text);

AnySlot MethodAt(void* object, int slot) {
  const AnySlot* table = *static_cast<const AnySlot* const*>(object);
  return table[slot];
}

// True when the host declines the report. Its result code says nothing more
// than cell A does, so it is not looked at.
bool HostDeclinesReport(void* services) {
  int32_t declined = 0;
  int32_t unused = 0;
  reinterpret_cast<AskReportFn>(MethodAt(services, kAskReportMethod))(services, 0, &declined,
                                                                      &unused);
  return declined != 0;
}

void HandVersionToHost(void* services, const NRV::String& text) {
  reinterpret_cast<TakeVersionFn>(MethodAt(services, kTakeVersionMethod))(services, 0,
                                                                          text.Interface());
}

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

// A missing string reads as "N/A", which the decision then turns down.
std::u16string_view OrNotAvailable(const std::optional<std::u16string>& text) {
  if (text) return *text;
  return u"N/A";
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

bool IsPreReleaseVersion(uint16_t fourthComponent, std::u16string_view fileVersion) {
  if (fourthComponent >= kFirstReleaseBuildNumber) return false;
  // The build marks its stage in words whose first letter may be either
  // case, so the tests leave that letter out. Order matters: "2.0 beta rev 2"
  // is a beta, while a revision or preview ("rev", "preview") of anything
  // else is not reported; "N/A" is what an unreadable version becomes.
  if (Contains(fileVersion, u"N/A")) return false;
  if (Contains(fileVersion, u"lpha")) return true;
  if (Contains(fileVersion, u"eta")) return true;
  if (Contains(fileVersion, u"ev")) return false;
  if (Contains(fileVersion, u"inal")) return true;
  return false;
}

std::u16string FormatVersionText(std::u16string_view description, std::u16string_view version) {
  std::u16string text;
  text.reserve(description.size() + 1 + version.size());
  text.append(description).append(1, u' ').append(version);
  if (text.size() > kMaxVersionTextLength) {
    text.resize(kMaxVersionTextLength);
    // Never leave half of a surrogate pair at the cut.
    if (IsHighSurrogate(text.back())) text.pop_back();
  }
  return text;
}

std::optional<std::u16string> PreReleaseVersionText(const platform::OwnVersionInfo& info) {
  if (!info.found) return std::nullopt;
  const std::u16string_view version = OrNotAvailable(info.fileVersion);
  const std::u16string_view description = OrNotAvailable(info.fileDescription);
  if (!IsPreReleaseVersion(info.fixedFileVersion[3], version)) return std::nullopt;
  return FormatVersionText(description, version);
}

void ReportPreReleaseVersion(void* hostServices, const platform::OwnVersionInfo& info) {
  if (hostServices == nullptr) return;
  if (HostDeclinesReport(hostServices)) return;
  const auto text = PreReleaseVersionText(info);
  if (!text) return;
  // The host takes a reference of its own if it keeps the text; ours ends
  // with `reported`.
  const NRV::String reported(*text);
  HandVersionToHost(hostServices, reported);
}

void ReportPreReleaseVersion() {
  void* services = platform::GetHostServices();
  if (services == nullptr) return;
  ReportPreReleaseVersion(services, platform::ReadOwnVersionInfo());
}
