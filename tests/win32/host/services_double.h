#pragma once
// The host's services class object, as a host registers it before loading
// enablers: asked for the services interface, it hands out a services object
// whose method table has methods 51 and 57 at their positions. Every call is
// written to the record.
#include "identity_record.h"

namespace identity {

// The class object (one per process; not reference-counted).
IUnknown* ServicesClassObject(Record* record);

}  // namespace identity
