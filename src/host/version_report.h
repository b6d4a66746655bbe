#pragma once
// The pre-release version report: at load, a build whose version marks it as
// a pre-release hands the host one line, "<description> <version>", through
// the host's services object, so that the host can show that a test build of
// the enabler is in use. A release build reports nothing.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/module_resources.h"

// A fourth fixed-version component at or above this number marks a release
// build, whatever its version strings say.
inline constexpr uint16_t kFirstReleaseBuildNumber = 1024;
// The host reads the text from a 256-unit buffer: at most this many
// characters, the terminating zero not counted.
inline constexpr size_t kMaxVersionTextLength = 255;

// True when the version marks a pre-release build that should be reported.
bool IsPreReleaseVersion(uint16_t fourthComponent, std::u16string_view fileVersion);

// "<description> <version>", cut to kMaxVersionTextLength characters.
std::u16string FormatVersionText(std::u16string_view description, std::u16string_view version);

// The text to report for this version information, or nothing for a release
// build or when the version information is unreadable.
std::optional<std::u16string> PreReleaseVersionText(const platform::OwnVersionInfo& info);

// Asks the host whether it wants a version text (method 51 of its services
// object) and hands it the text of a pre-release build (method 57). A null
// services pointer does nothing.
void ReportPreReleaseVersion(void* hostServices, const platform::OwnVersionInfo& info);

// The same for this library, with the process's host services. Run once at
// process attach. May throw XNRV or XHResult when the host's framework cannot
// be set up.
void ReportPreReleaseVersion();
