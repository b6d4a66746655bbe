#include <chrono>
#include <cstdio>
#include <string>

#include "commands/commands.h"

namespace vozihost {

void ReportError(const std::string& what, const std::string& libraryMessage) {
  std::string text = "vozi-host: " + what + "\n";
  size_t start = 0;
  while (start < libraryMessage.size()) {
    const size_t end = libraryMessage.find('\n', start);
    const std::string line = libraryMessage.substr(start, end - start);
    text += (line.empty() ? "" : "  ") + line + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // Data and messages already on standard output come first: when both
  // streams go to one file, the lines stay in the order they happened.
  std::fflush(stdout);
  // The library speaks to users of the host application, which looks for
  // instruments once, when it starts; vozi-host looks on every run.
  if (libraryMessage.find("restart Kymora") != std::string::npos) {
    text += "  (With vozi-host: let it end, with Ctrl-C if it is still running, and run it again.)\n";
  }
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

std::optional<std::string> StartReported(EnablerSession& session, int32_t index, int32_t lastIndex,
                                         const PortInfo& where) {
  std::string name = "device " + std::to_string(index);
  std::string place = where.port;
  if (!where.description.empty()) place += (place.empty() ? "" : ", ") + where.description;
  if (!place.empty()) name += " (" + place + ")";
  // A start-up takes a second, and 16 s for an instrument that does not
  // answer: the user sees which one the tool is waiting for.
  ReportError("starting " + name + " ...");
  const auto start = std::chrono::steady_clock::now();
  if (session.Initialise(index)) return std::nullopt;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The library's message describes the instrument found last only.
  const bool described = index == lastIndex;
  const std::string message = described ? session.FailureMessage(index, lastIndex) : std::string();
  const std::string reason = StartFailureReason(described, message, seconds);
  char after[32];
  std::snprintf(after, sizeof after, "%.1f s", seconds);
  ReportError(name + ": start-up failed after " + after + ": " + reason, message);
  return reason;
}

}  // namespace vozihost
