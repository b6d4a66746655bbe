#pragma once
// The COM base every interface handed to or taken from the host starts with.
// Portable code cannot include the system's <unknwn.h>, so the table is
// declared here with the same layout: virtual methods in declaration order,
// the standard COM calling convention, 32-bit HRESULT and ULONG results.
#include <cstdint>
#include <cstring>

#include "platform/hresult.h"

// COM methods are __stdcall on 32-bit Windows; elsewhere the platform's one
// calling convention is the COM one.
#if defined(_WIN32) && !defined(_WIN64)
#define VOZI_STDCALL __stdcall
#else
#define VOZI_STDCALL
#endif

namespace com {

// Same layout as the system's GUID.
struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

inline bool operator==(const Guid& a, const Guid& b) {
  return std::memcmp(&a, &b, sizeof(Guid)) == 0;
}

// {00000000-0000-0000-C000-000000000046}
inline constexpr Guid kIID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HResult VOZI_STDCALL QueryInterface(const Guid& iid, void** object) = 0;  // slot 0
  virtual uint32_t VOZI_STDCALL AddRef() = 0;                                       // slot 1
  virtual uint32_t VOZI_STDCALL Release() = 0;                                      // slot 2

 protected:
  // Objects are destroyed through Release, never through a base pointer.
  ~IUnknown() = default;
};

}  // namespace com
