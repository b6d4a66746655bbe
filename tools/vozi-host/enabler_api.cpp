#include "enabler_api.h"

namespace vozihost {
namespace {

template <typename Function>
void Resolve(const SharedLibrary& library, const char* name, Function& target,
             std::string& missing) {
  target = reinterpret_cast<Function>(library.Symbol(name));
  if (!target) missing += missing.empty() ? name : std::string(", ") + name;
}

}  // namespace

bool EnablerApi::Bind(const SharedLibrary& library, std::string* error) {
  std::string missing;
  Resolve(library, "GetDeviceClassInfo", GetDeviceClassInfo, missing);
  Resolve(library, "FindDevice", FindDevice, missing);
  Resolve(library, "Initialise", Initialise, missing);
  Resolve(library, "CloseAll", CloseAll, missing);
  Resolve(library, "IsFailed", IsFailed, missing);
  Resolve(library, "CanUseBaudRate", CanUseBaudRate, missing);
  Resolve(library, "SetBaudRate", SetBaudRate, missing);
  Resolve(library, "GetBaudRate", GetBaudRate, missing);
  Resolve(library, "ReadLine", ReadLine, missing);
  Resolve(library, "ReadBuffer", ReadBuffer, missing);
  Resolve(library, "WriteBuffer", WriteBuffer, missing);
  Resolve(library, "ReadBuffSize", ReadBuffSize, missing);
  Resolve(library, "FlushReadBuffer", FlushReadBuffer, missing);
  Resolve(library, "GetUniqueID", GetUniqueID, missing);
  Resolve(library, "DeviceCommand", DeviceCommand, missing);
  Resolve(library, "GetLastErrorMsg", GetLastErrorMsg, missing);
  if (!missing.empty() && error) *error = "the library lacks the export(s) " + missing;
  return missing.empty();
}

}  // namespace vozihost
