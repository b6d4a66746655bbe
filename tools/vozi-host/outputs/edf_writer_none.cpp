#include "outputs/edf_writer.h"

namespace vozihost {

bool EdfSupported() { return false; }

std::unique_ptr<EdfRecording> EdfRecording::Open(const std::filesystem::path&, const EdfHeader&,
                                                 std::string* error) {
  *error = "this build of vozi-host writes no EDF (it was built without libedf)";
  return nullptr;
}

}  // namespace vozihost
