// Hosts that end without CloseAll while an instrument streams, each a process
// of its own (ending_host.cpp): FreeLibrary must return within about a second
// and leave the host running, ExitProcess must end with the host's own code,
// and either way the instrument must be told to stop. run-e2e-tests runs this
// suite (WineEnding) with both doubles installed.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e/wine_machine.h"
#include "support/serial_peer.h"

namespace {

using e2e::Environment;

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// Runs the ending host with these arguments; its exit code, or -1 when it did
// not end within a minute.
long RunEndingHost(const std::wstring& arguments) {
  std::wstring command = L"\"" + ProgramFolder() + L"vozi_win32_ending_host.exe\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -2;
  }
  DWORD code = 0;
  const bool ended = WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.hProcess, 1);
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended ? static_cast<long>(code) : -1;
}

TEST(WineEnding, FreeLibraryAndExitProcessWithAStreamingDevice) {
  const std::wstring port = Environment(L"VOZI_E2E_PORT");
  const std::wstring log = Environment(L"VOZI_E2E_SIM_LOG");
  ASSERT_FALSE(port.empty()) << "run by run-e2e-tests, which starts the simulators";
  e2e::PresentInterfaces({{e2e::kVoziInstanceId, port}});

  {
    SCOPED_TRACE("FreeLibrary");
    const size_t frames = e2e::FramesLogged(log).size();
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring result = std::wstring(folder) + L"vozi-e2e-unload-ms.txt";
    DeleteFileW(result.c_str());
    EXPECT_EQ(RunEndingHost(L"free-library \"" + result + L"\""), 0) << "the host ran on and ended normally";
    unsigned long tookMs = 0;
    bool measured = false;
    if (FILE* file = _wfopen(result.c_str(), L"r")) {
      measured = std::fscanf(file, "%lu", &tookMs) == 1;
      std::fclose(file);
    }
    ASSERT_TRUE(measured) << "FreeLibrary did not return";
    std::printf("FreeLibrary with a streaming device took %lu ms\n", tookMs);
    EXPECT_LE(tookMs, 1500u) << "detach is bounded";
    const auto after = e2e::WaitForLastFrame(log, frames, "X", 2000);
    ASSERT_GT(after.size(), frames);
    EXPECT_EQ(after.back(), "X") << "the instrument was told to stop";
  }
  {
    SCOPED_TRACE("ExitProcess");
    const size_t frames = e2e::FramesLogged(log).size();
    EXPECT_EQ(RunEndingHost(L"exit-process"), 7) << "the host's own exit code";
    const auto after = e2e::WaitForLastFrame(log, frames, "X", 2000);
    ASSERT_GT(after.size(), frames);
    EXPECT_EQ(after.back(), "X") << "the instrument was told to stop";
  }
}

}  // namespace
