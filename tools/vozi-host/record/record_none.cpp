// vozi-host built without libmosquitto (the Windows build): no recording
// from a broker.
#include "commands/commands.h"
#include "commands/exit_codes.h"
#include "record/mark_command.h"
#include "record/record_command.h"

namespace vozihost {

std::optional<std::string> CheckInstrumentId(const std::string&) { return std::nullopt; }

int RunRecord(const RecordOptions&, const BrokerSettings&, std::ostream&) {
  ReportError("record is not in this build of vozi-host (it has no MQTT client library, libmosquitto)");
  return kExitUsage;
}

std::string DefaultSender() { return "vozi-host"; }

int RunMark(const MarkOptions&, const BrokerSettings&, std::ostream&) {
  ReportError("mark is not in this build of vozi-host (it has no MQTT client library, libmosquitto)");
  return kExitUsage;
}

}  // namespace vozihost
