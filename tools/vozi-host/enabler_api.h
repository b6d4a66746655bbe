#pragma once
// The sixteen exports of the enabler, looked up by name in the loaded
// library. The types come from the public header, so a change of signature
// there is a compile error here, not a crash at run time.
#include <string>

#include "platform/library_loader.h"
#include "vozi_enabler.h"

namespace vozihost {

struct EnablerApi {
  decltype(&::GetDeviceClassInfo) GetDeviceClassInfo = nullptr;
  decltype(&::FindDevice) FindDevice = nullptr;
  decltype(&::Initialise) Initialise = nullptr;
  decltype(&::CloseAll) CloseAll = nullptr;
  decltype(&::IsFailed) IsFailed = nullptr;
  decltype(&::CanUseBaudRate) CanUseBaudRate = nullptr;
  decltype(&::SetBaudRate) SetBaudRate = nullptr;
  decltype(&::GetBaudRate) GetBaudRate = nullptr;
  decltype(&::ReadLine) ReadLine = nullptr;
  decltype(&::ReadBuffer) ReadBuffer = nullptr;
  decltype(&::WriteBuffer) WriteBuffer = nullptr;
  decltype(&::ReadBuffSize) ReadBuffSize = nullptr;
  decltype(&::FlushReadBuffer) FlushReadBuffer = nullptr;
  decltype(&::GetUniqueID) GetUniqueID = nullptr;
  decltype(&::DeviceCommand) DeviceCommand = nullptr;
  decltype(&::GetLastErrorMsg) GetLastErrorMsg = nullptr;

  // Resolves every export. False, with the missing names in *error, when
  // any is absent: a host cannot work with part of the interface.
  bool Bind(const SharedLibrary& library, std::string* error);
};

}  // namespace vozihost
