#pragma once
// The string interface the extension hands to the host. Its method table is a
// binary contract: the slot order below is what the host calls, so methods
// must never be reordered, inserted or removed. The table continues in
// NRVString::StringRepBase with the deleting destructor in slot 19.
#include <cstdint>

#include "platform/bstr.h"
#include "text/com_unknown.h"

class INRVString;

// {2D3B7EC5-BF24-11CF-97E6-00C0DF492697}
inline constexpr com::Guid kIID_IAutoNRVString = {
    0x2D3B7EC5, 0xBF24, 0x11CF, {0x97, 0xE6, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};
// {3904AA0E-3E8D-11D1-997F-00C0DF492697}
inline constexpr com::Guid kIID_INRVString = {
    0x3904AA0E, 0x3E8D, 0x11D1, {0x99, 0x7F, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};

// What ImplementationTag answers for strings of this library: two objects that
// both answer it can compare their characters directly.
inline constexpr int32_t kNRVStringImplementationTag = 9;

// The automation-friendly part: every method returns an HRESULT.
class IAutoNRVString : public com::IUnknown {
 public:
  virtual HResult VOZI_STDCALL AssignFromBSTR(platform::BStr text) = 0;                  // 3
  virtual HResult VOZI_STDCALL CopyToBSTR(platform::BStr* out) = 0;                      // 4
  virtual HResult VOZI_STDCALL IsEmpty(platform::VariantBool* out) = 0;                  // 5
  virtual HResult VOZI_STDCALL GetLength(uint32_t* out) = 0;                             // 6
  virtual HResult VOZI_STDCALL IsEqual(INRVString* other, platform::VariantBool* out) = 0;  // 7
  virtual HResult VOZI_STDCALL IsShared(platform::VariantBool* out) = 0;                 // 8

 protected:
  ~IAutoNRVString() = default;
};

class INRVString : public IAutoNRVString {
 public:
  virtual int32_t VOZI_STDCALL ImplementationTag() = 0;                                  // 9
  virtual HResult VOZI_STDCALL CopyChars(int32_t byteSize, void* destination) = 0;       // 10
  virtual HResult VOZI_STDCALL GetLengthAndCharSize(uint32_t* length, uint32_t* charSize) = 0;  // 11
  virtual HResult VOZI_STDCALL GetMaxLength(uint32_t* out) = 0;                          // 12
  virtual HResult VOZI_STDCALL CreateEmpty(uint32_t length, INRVString** out) = 0;       // 13
  virtual HResult VOZI_STDCALL GetAsVariant(platform::Variant* out) = 0;                 // 14
  virtual uint32_t VOZI_STDCALL Length() = 0;                                            // 15
  virtual void VOZI_STDCALL Destroy() = 0;                                               // 16
  virtual HResult VOZI_STDCALL Reserved() = 0;                                           // 17
  virtual char16_t* VOZI_STDCALL GetChars() = 0;                                         // 18

 protected:
  ~INRVString() = default;
};
