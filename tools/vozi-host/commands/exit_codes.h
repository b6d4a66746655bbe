#pragma once
// Exit codes of vozi-host. Scripts tell the kinds of failure apart by these,
// so they are part of the tool's interface (listed in --help).

namespace vozihost {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,         // anything else: an output file cannot be written, ...
  kExitUsage = 2,           // the command line is wrong
  kExitNoInstrument = 3,    // FindDevice found nothing (or not the instrument asked for)
  kExitStartupFailed = 4,   // no instrument could be started (any, with --require-all)
  kExitStreamFailed = 5,    // streaming could not start, brought no data, or broke off
  kExitNoLibrary = 6,       // the enabler library cannot be loaded or lacks an export
  kExitSimulator = 7,       // --simulate could not start its instruments
  kExitDataLost = 8,        // samples were lost or damaged (unless --allow-loss)
  kExitSomeNotStarted = 9,  // some instruments failed to start; the others were recorded
  kExitBroker = 10,         // publish: the broker could not be reached, or batches went unpublished
  kExitInterrupted = 130,   // Ctrl-C before the requested end (128 + SIGINT, as shells do)
  // The reader of the CSV on standard output went away (`| head`); the other
  // outputs are complete. 128 + SIGPIPE, as a shell reports a tool that a
  // closed pipe ended, so that `set -o pipefail` scripts see it the same way.
  kExitReaderGone = 141,
};

// The text --help shows.
inline constexpr const char* kExitCodeHelp =
    "Exit codes: 0 success, 1 other failure (e.g. an output file), 2 usage error,\n"
    "3 no instrument found, 4 start-up failed (the library's message follows),\n"
    "5 streaming failed or brought no data, 6 library cannot be loaded,\n"
    "7 simulator failed to start, 8 samples lost (see the summary; --allow-loss),\n"
    "9 some instruments failed to start (the others were recorded),\n"
    "10 publish: the broker could not be reached (without files: nothing recorded),\n"
    "   or some batches could not be published (the files are complete),\n"
    "130 interrupted by Ctrl-C before the requested end,\n"
    "141 the reader of the CSV on standard output went away (the other outputs are complete).";

}  // namespace vozihost
