#pragma once
// Ctrl-C and the terminal. The first Ctrl-C (or SIGTERM) only asks the tool
// to stop: the acquisition ends, the library closes its devices and the
// simulators are reaped, all on the main thread. A second one ends the
// process the system's way, for a user whose instrument hangs the clean-up.
#include <cstdio>

namespace vozihost {

void InstallStopHandler();
bool StopRequested();
// Lets a test or a caller raise the same request without a signal.
void RequestStop();

// Whether the stream is a terminal (a live progress line only makes sense
// there; in a file or a pipe it would be hundreds of carriage returns).
bool IsTerminal(std::FILE* stream);

}  // namespace vozihost
