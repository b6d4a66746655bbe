#pragma once
// "vozi-host record": every instrument streaming to a broker (under a
// prefix, or the ids chosen) recorded into files in one folder, as `acquire`
// would have written them on the instrument's PC; FOLDER/session.json lists
// every stream recorded. It reconnects to a broker that goes away (what it
// missed meanwhile is a jump in positions, marked as a gap) and runs until
// Ctrl-C or --seconds.
#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "publish/broker_settings.h"

namespace vozihost {

struct RecordOptions {
  std::filesystem::path folder;
  bool csv = false;            // CSV files too (EDF+/BDF+ always, where the build writes them)
  std::vector<std::string> ids;  // empty: every instrument under the prefix
  std::optional<double> seconds;
  // How long batches behind a hole in a stream's positions wait for the
  // late batches that would fill it (a bridge's queue, a publisher's backlog).
  std::chrono::milliseconds lateWait{30000};
  bool progress = false;
  std::string toolVersion;
};

// An instrument id as a topic level: what is wrong with it, or nullopt.
std::optional<std::string> CheckInstrumentId(const std::string& id);

// Exit code: 0; kExitBroker when the broker could not be reached at the
// start; kExitFailure when a file could not be written; kExitInterrupted
// for Ctrl-C before --seconds.
int RunRecord(const RecordOptions& options, const BrokerSettings& broker, std::ostream& out);

}  // namespace vozihost
