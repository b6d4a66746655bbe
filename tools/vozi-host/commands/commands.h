#pragma once
// The two things vozi-host does once the enabler is loaded and a discovery
// pass has found instruments.
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "session/device_info.h"
#include "session/enabler_session.h"
#include "session/played_recording.h"

namespace vozihost {

struct ListOptions {
  bool probe = false;                  // start each instrument and ask it
  std::filesystem::path deviceRoot = "/";  // where the platform's ports are looked up
};

// Every instrument found: identity and port; with probe also what it says
// about itself (model, firmware, periods, channels). Exit code.
int RunList(EnablerSession& session, const std::vector<int32_t>& found, const ListOptions& options,
            std::ostream& out);

struct AcquireOptions {
  std::vector<int32_t> devices;      // indices; empty: every instrument found
  std::optional<int32_t> periodUs;   // absent: where the instrument starts
  std::vector<int32_t> channels;     // absent: every channel
  std::optional<double> seconds;
  std::optional<uint64_t> samples;
  std::filesystem::path csv;         // empty: none; "-": standard output
  std::filesystem::path plot;        // empty: none
  std::filesystem::path edf;         // empty: none
  bool allowLoss = false;            // lost samples are no failure
  bool requireAll = false;           // one instrument failing to start stops all
  bool progress = false;             // live progress line on standard error
  double silenceSeconds = 3.0;       // an instrument silent this long has stopped
  // --simulate playing a recording: every instrument found is its player.
  std::optional<PlayedRecording> played;
  std::string toolVersion;
  std::filesystem::path deviceRoot = "/";  // where the platform's ports are looked up
};

class AcquireHooks;

// Streams, writes the files, prints a summary. Exit code. `hooks` (not
// owned) add to it: publish's broker.
int RunAcquire(EnablerSession& session, const std::vector<int32_t>& found,
               const AcquireOptions& options, std::ostream& out, AcquireHooks* hooks = nullptr);

// "vozi-host: <what>" on standard error, then the library's message (if
// any) indented below it.
void ReportError(const std::string& what, const std::string& libraryMessage = {});

// Initialise, announced first ("starting device N (port, description)
// ..."); on failure reported with this instrument's reason and, when it
// concerns this one, the library's message. Nullopt when it started, else
// the reason.
std::optional<std::string> StartReported(EnablerSession& session, int32_t index, int32_t lastIndex,
                                         const PortInfo& where);

}  // namespace vozihost
