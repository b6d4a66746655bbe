#pragma once
// The files acquire writes, settled before anything is started: each name
// distinct (two names of one file included), each one writable, and every
// failure with the system's reason ("Permission denied"), so that a wrong
// name costs no recording. No folder is made: a misspelt folder is an error,
// not a new folder somewhere. A symbolic link is written through, never
// replaced by a file of its own.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vozihost {

// "-" as a file name: standard output.
bool IsStdout(const std::filesystem::path& path);

// The system's text for the last failed call (errno).
std::string SystemReason();

struct OutputRequest {
  std::filesystem::path csv, plot, edf;  // empty: not wanted
};

struct DeviceOutputs {
  int32_t index = -1;
  std::filesystem::path csv, plot, edf;  // empty: not wanted
};

// The checks that need no instrument, made before any start-up (simulators
// included): only a CSV on standard output ("-"; one instrument, when
// `devices` says how many there will be: 0 unknown), no two options naming
// the same file, the folder of every file there and, for one instrument,
// every file writable. Empty when all is well; else why, with *usage
// whether the command line is at fault.
std::optional<std::string> CheckOutputNames(const OutputRequest& request, size_t devices, bool* usage);

// The names for each device (several devices: the index before the
// extension), checked: no two outputs the same file, "-" only for one CSV,
// every file writable. A file that did not exist before is not left behind.
// On failure *error says why and *usage whether the command line is at fault
// (rather than the file system).
std::optional<std::vector<DeviceOutputs>> PlanOutputs(const OutputRequest& request,
                                                      const std::vector<int32_t>& devices,
                                                      std::string* error, bool* usage);

// Opens the file for writing ("wb"). Null with "cannot write PATH: reason"
// in *error when that fails.
std::FILE* OpenForWriting(const std::filesystem::path& path, std::string* error);

// Closes a file written with OpenForWriting, reporting a failed write or
// close (a full disk shows here) with the system's reason.
bool CloseWritten(std::FILE* file, const std::filesystem::path& path, std::string* error);

// The whole of `text` into a new file.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& text, std::string* error);

}  // namespace vozihost
