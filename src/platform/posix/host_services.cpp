// Linux hosts load the library with dlopen and offer no COM services object
// or framework class: there is nothing to obtain, register or release.
#include "platform/host_services.h"

namespace platform {

void* GetHostServices() { return nullptr; }

void EnsureFrameworkRegistered() {}

void ReleaseHostServices(bool) {}

}  // namespace platform
