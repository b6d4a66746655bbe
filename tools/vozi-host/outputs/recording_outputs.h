#pragma once
// The end of one instrument's recording: every output is finished whatever
// became of the others (a full disk under the CSV must not cost the plot or
// leave the EDF file without its end), and each says what became of it, so
// that every failure is reported with its reason and the summary lists only
// what was written.
#include <string>
#include <vector>

#include "session/acquisition.h"

namespace vozihost {

struct OutputResult {
  std::string kind;   // "CSV", "plot", "EDF+" ...
  std::string where;  // the file, or "standard output"
  std::string error;  // empty: written
};

// Closes the CSV (after a comment saying where and why the stream broke
// off, if it did), writes the plot, closes the EDF recording.
std::vector<OutputResult> FinishOutputs(DeviceStream& s);

}  // namespace vozihost
