// What the library does as it is loaded into and unloaded from the host.
#include "host/version_report.h"
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "platform/host_services.h"
#include "platform/module_resources.h"
#include "trace/trace.h"

namespace vozi {

void OnProcessAttach(void* module) {
  platform::SetOwnModule(module);
  // First, so that everything after it is traced (when VOZI_TRACE asks).
  trace::Begin();
  // The table starts empty; nothing exists yet to free.
  try {
    ReportPreReleaseVersion();
  } catch (...) {
    // The host's framework could not be set up (XNRV, XHResult) or memory
    // ran out: act as for a host without services. The report is only a
    // courtesy, and an exception must never leave the entry point.
  }
}

void OnProcessDetach(bool processEnding) {
  // At the process's end the other threads were ended wherever they were,
  // perhaps holding the trace's lock: it turns off before anything traces.
  if (processEnding) trace::End(true);
  try {
    if (processEnding) {
      // The system has already ended every other thread, the readers too,
      // wherever they were: waiting for one would wait for ever, and what
      // they held (locks, half-changed state) stays as it was. The
      // instruments are told to stop; the process's end frees the rest.
      DeviceTable::Instance().StopInstrumentsAtProcessEnd();
    } else {
      DeviceTable::Instance().DestroyAllDevices();
    }
  } catch (...) {
    // Unloading must go on whatever a device does.
  }
  // Revokes the framework class we registered, frees Bex.dll, ends our OLE
  // initialisation and deletes the services lock, last-arranged first; at
  // the process's end only marks the services gone.
  platform::ReleaseHostServices(processEnding);
  // Last, so that the devices' close is traced.
  trace::End(processEnding);
  platform::SetOwnModule(nullptr);
}

}  // namespace vozi
