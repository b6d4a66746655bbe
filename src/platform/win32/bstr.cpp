// BSTR and VARIANT on Windows: oleaut32's own, so that the host can free what
// the string interface hands it with its own SysFreeString / VariantClear.
#include "platform/bstr.h"

#include <windows.h>
#include <oleauto.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "BSTR units are UTF-16");

namespace platform {
namespace {

BSTR ToNative(BStr text) { return reinterpret_cast<BSTR>(text); }
BStr FromNative(BSTR text) { return reinterpret_cast<BStr>(text); }

}  // namespace

BStr SysAllocStringLen(const char16_t* text, uint32_t length) {
  return FromNative(::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text), length));
}

BStr SysAllocStringByteLen(const char* bytes, uint32_t byteLength) {
  return FromNative(::SysAllocStringByteLen(bytes, byteLength));
}

uint32_t SysStringLen(BStr text) { return ::SysStringLen(ToNative(text)); }

uint32_t SysStringByteLen(BStr text) { return ::SysStringByteLen(ToNative(text)); }

void SysFreeString(BStr text) { ::SysFreeString(ToNative(text)); }

void SetVariantBStr(Variant* variant, BStr text) {
  V_VT(variant) = VT_BSTR;
  V_BSTR(variant) = ToNative(text);
}

uint16_t VariantType(const Variant* variant) { return V_VT(variant); }

BStr VariantBStr(const Variant* variant) { return FromNative(V_BSTR(variant)); }

}  // namespace platform
