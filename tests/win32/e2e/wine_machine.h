#pragma once
// The machine the end-to-end host runs on under Wine, as run-e2e-tests sets
// it up: COM ports whose far ends are vozi-sim instruments, the SETUPAPI.DLL
// double that presents them as device interfaces, the firmware requirement
// file beside the host, and the simulators' frame logs.
//
// The runner names what it made in the environment:
//   VOZI_E2E_PORT        device path of the instrument with the default firmware
//   VOZI_E2E_PORT_FW2    device path of an instrument reporting firmware 2
//   VOZI_E2E_SIM_LOG     frame log of the first instrument (a Windows path)
//   VOZI_E2E_SIM_LOG_FW2 frame log of the second
//   VOZI_E2E_OUT         folder for the streamed lines the runner compares
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

// An environment value; empty when unset.
std::wstring Environment(const wchar_t* name);

// One COM-port device interface as SetupAPI would list it.
struct PortInterface {
  std::wstring instanceId;
  std::wstring devicePath;
};

// The FTDI adapter carrying a Vozi serial number, as the FTDI driver names it.
inline const wchar_t kVoziInstanceId[] = L"FTDIBUS\\VID_0403+PID_6001+ZOR12345A\\0000";

// Makes the SETUPAPI.DLL double present exactly these interfaces from the
// next discovery pass on (it reads its list when a pass opens the set).
void PresentInterfaces(const std::vector<PortInterface>& interfaces);

// Writes Devices\VoziFirmwareVer.ini beside this program; Remove deletes it.
void WriteRequirementFile(const std::string& text);
void RemoveRequirementFile();

// The frames a simulator received, one text a line, as its --log wrote them.
std::vector<std::string> FramesLogged(const std::wstring& logPath);
// Waits up to timeoutMs until the log holds more than `after` frames and the
// last one is `text`; returns the log as it stands then.
std::vector<std::string> WaitForLastFrame(const std::wstring& logPath, size_t after,
                                          const std::string& text, uint32_t timeoutMs);

// Writes lines (each followed by '\n') to a file in the VOZI_E2E_OUT folder;
// false when the folder is not set or the file cannot be written.
bool WriteOutputLines(const std::wstring& fileName, const std::vector<std::string>& lines);

// The calls the SETUPAPI.DLL double logged since the last look.
std::wstring TakeSetupApiLog();

}  // namespace e2e
