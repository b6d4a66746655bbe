#pragma once
// What the test host's doubles saw while the library loaded. The record lives
// in the test host executable, which exports it, so that the framework double
// (Bex.dll, loaded by the library, not by the host) can write to it and the
// host can still read it after Bex.dll has been unloaded.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <objbase.h>

#include <cstdint>

namespace identity {

struct Record {
  // Host services: what method 51 writes to its first cell (non-zero: no
  // report wanted), and what the library passed.
  int32_t declineReport = 0;
  LONG servicesQueries = 0;  // the class object asked for the services interface
  LONG method51Calls = 0;
  int32_t method51Reserved = -1;
  LONG method57Calls = 0;
  int32_t method57Reserved = -1;
  void* reportedText = nullptr;      // the host's own reference, taken in method 57
  ULONG referencesDuringReport = 0;  // AddRef's result there
  LONG unexpectedSlot = -1;          // a call at any other position

  // Framework double.
  LONG frameworkEntryCalls = 0;
  GUID frameworkEntryClass{};
  GUID frameworkEntryInterface{};
  LONG frameworkReferences = 0;  // outstanding on its class object
  void* frameworkObject = nullptr;
  DWORD servicesCookie = 0;  // the double's registration of the host services
};

// {09C5C1C7-6AEE-4EF7-AD48-5301E8BC3775}
inline const CLSID kHostServicesClass = {
    0x09C5C1C7, 0x6AEE, 0x4EF7, {0xAD, 0x48, 0x53, 0x01, 0xE8, 0xBC, 0x37, 0x75}};
// {70380571-34EA-11D3-8099-005004AD3C53}
inline const IID kHostServicesInterface = {
    0x70380571, 0x34EA, 0x11D3, {0x80, 0x99, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
// {818DA440-8037-11D3-80BC-005004AD3C53}
inline const CLSID kFrameworkClass = {
    0x818DA440, 0x8037, 0x11D3, {0x80, 0xBC, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
// {00000000-0000-0000-C000-000000000046}
inline const IID kUnknownInterface = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Exported by the test host under these names.
using RecordFn = Record*(__cdecl*)();
using ServicesClassObjectFn = IUnknown*(__cdecl*)();
inline constexpr const char* kRecordExport = "VoziIdentityRecord";
inline constexpr const char* kServicesClassObjectExport = "VoziIdentityServicesClassObject";

}  // namespace identity
