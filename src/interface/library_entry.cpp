// What the library does as it is loaded into and unloaded from the host.
#include "interface/device_table.h"
#include "interface/exports_internal.h"
#include "platform/module_resources.h"

namespace vozi {

void OnProcessAttach(void* module) {
  platform::SetOwnModule(module);
  // The table starts empty; nothing exists yet to free.
}

void OnProcessDetach() {
  try {
    DeviceTable::Instance().DestroyAllDevices();
  } catch (...) {
    // Unloading must go on whatever a device does.
  }
  platform::SetOwnModule(nullptr);
}

}  // namespace vozi
