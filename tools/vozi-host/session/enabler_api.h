#pragma once
// The sixteen exports of the enabler, looked up by name in the loaded
// library. The types come from the public header, so a change of signature
// there is a compile error here, not a crash at run time.
#include <string>

#include "platform/library_loader.h"
#include "vozi_enabler.h"

namespace vozihost {

struct EnablerApi : VoziEnablerExports {
  // Resolves every export. False, with the missing names in *error, when
  // any is absent: a host cannot work with part of the interface.
  bool Bind(const SharedLibrary& library, std::string* error);
};

}  // namespace vozihost
