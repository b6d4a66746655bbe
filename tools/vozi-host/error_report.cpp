#include <cstdio>
#include <string>

#include "commands.h"

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
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

bool InitialiseReported(EnablerSession& session, int32_t index, int32_t lastIndex) {
  if (session.Initialise(index)) return true;
  ReportError("device " + std::to_string(index) + ": start-up failed",
              session.FailureMessage(index, lastIndex));
  return false;
}

}  // namespace vozihost
