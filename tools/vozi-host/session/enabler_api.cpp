#include "session/enabler_api.h"

namespace vozihost {

bool EnablerApi::Bind(const SharedLibrary& library, std::string* error) {
  const std::string missing = BindAll([&](const char* name) { return library.Symbol(name); });
  if (!missing.empty() && error) *error = "the library lacks the export(s) " + missing;
  return missing.empty();
}

}  // namespace vozihost
