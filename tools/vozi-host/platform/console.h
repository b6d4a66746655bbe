#pragma once
// Ctrl-C and the terminal. The first Ctrl-C (or SIGTERM) only asks the tool
// to stop: it says so at once, and the main thread ends the acquisition,
// closes the library and reaps the simulators as soon as the library call it
// is in returns (a start-up can take 16 s). A second Ctrl-C ends the tool at
// once, after the forced-exit clean-up (simulators killed, temporary folder
// removed), however soon it comes. Only one signal delivered twice by its
// sender within a moment (timeout(1) signals the process and then its
// group) counts once.
#include <cstdio>
#include <functional>

namespace vozihost {

// Call first thing in main(), before any thread exists.
void InstallStopHandler();
bool StopRequested();
// Lets a test or a caller raise the same request without a signal.
void RequestStop();

// What a forced end must still do for `owner` (one clean-up per owner; empty
// to clear). It runs on the signal thread while the main thread may be
// anywhere; the clean-ups run in the reverse order of their setting.
void SetForcedExitCleanup(const void* owner, std::function<void()> cleanup);

// Whether the stream is a terminal (a live progress line only makes sense
// there; in a file or a pipe it would be hundreds of carriage returns).
bool IsTerminal(std::FILE* stream);

}  // namespace vozihost
