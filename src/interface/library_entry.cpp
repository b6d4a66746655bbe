// What the library does as it is loaded into and unloaded from the host.
#include "host/version_report.h"
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "platform/host_services.h"
#include "platform/module_resources.h"

namespace vozi {

void OnProcessAttach(void* module) {
  platform::SetOwnModule(module);
  // The table starts empty; nothing exists yet to free.
  try {
    ReportPreReleaseVersion();
  } catch (...) {
    // The host's framework could not be set up (XNRV, XHResult) or memory
    // ran out: act as for a host without services. The report is only a
    // courtesy, and an exception must never leave the entry point.
  }
}

void OnProcessDetach() {
  try {
    DeviceTable::Instance().DestroyAllDevices();
  } catch (...) {
    // Unloading must go on whatever a device does.
  }
  // Revokes the framework class we registered, frees Bex.dll, ends our OLE
  // initialisation and deletes the services lock, last-arranged first.
  platform::ReleaseHostServices();
  platform::SetOwnModule(nullptr);
}

}  // namespace vozi
