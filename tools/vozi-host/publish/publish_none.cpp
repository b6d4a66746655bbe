// vozi-host built without libmosquitto (the Windows build): no publishing.
#include "commands/exit_codes.h"
#include "publish/publish_command.h"

namespace vozihost {

bool PublishSupported() { return false; }

int RunPublish(EnablerSession&, const std::vector<int32_t>&, const AcquireOptions&, const BrokerSettings&,
               std::ostream&) {
  ReportError("publish is not in this build of vozi-host (it has no MQTT client library, libmosquitto)");
  return kExitUsage;
}

}  // namespace vozihost
