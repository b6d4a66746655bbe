#pragma once
// OLE automation strings (BSTR) and the VARIANT that carries one, as the
// string interface handed to the host needs them. On Windows these are
// oleaut32's own; on Linux a small layer of ours with the same shape: a
// 32-bit byte length stored just before the characters, and a zero unit
// after them, so that a BSTR can also be read as a terminated text.
#include <cstdint>

namespace platform {

// A BSTR is the address of its first character; null stands for "no text".
using BStr = char16_t*;

// VARIANT_BOOL: -1 for true, 0 for false.
using VariantBool = int16_t;
inline constexpr VariantBool kVariantTrue = -1;
inline constexpr VariantBool kVariantFalse = 0;

inline constexpr uint16_t kVT_EMPTY = 0;
inline constexpr uint16_t kVT_BSTR = 8;

}  // namespace platform

#if defined(_WIN32)
// The real VARIANT from the system headers; portable code only passes its
// address around and uses the accessors below.
struct tagVARIANT;
namespace platform {
using Variant = ::tagVARIANT;
}
#else
namespace platform {
// Only the parts of a VARIANT this system fills in.
struct Variant {
  uint16_t vt = kVT_EMPTY;
  BStr bstrVal = nullptr;
};
}  // namespace platform
#endif

namespace platform {

// A new BSTR holding `length` units copied from `text` (zero-filled when text
// is null), terminated. Null when the memory cannot be had.
BStr SysAllocStringLen(const char16_t* text, uint32_t length);
// A new BSTR holding `byteLength` bytes copied from `bytes` (zero-filled when
// bytes is null), followed by a zero unit. Null when the memory cannot be had.
BStr SysAllocStringByteLen(const char* bytes, uint32_t byteLength);
// Length in UTF-16 units; 0 for a null BSTR.
uint32_t SysStringLen(BStr text);
// Length in bytes; 0 for a null BSTR.
uint32_t SysStringByteLen(BStr text);
// Frees a BSTR; null is allowed.
void SysFreeString(BStr text);

// Makes `variant` a VT_BSTR holding `text` (which it then owns). Whatever the
// variant held before is overwritten, not freed.
void SetVariantBStr(Variant* variant, BStr text);
// The type tag and BSTR of a variant, for readers of what SetVariantBStr made.
uint16_t VariantType(const Variant* variant);
BStr VariantBStr(const Variant* variant);

}  // namespace platform
