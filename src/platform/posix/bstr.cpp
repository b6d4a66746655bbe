// BSTR on Linux: one heap block holding a 32-bit byte length, the characters
// and a zero unit. The BSTR points at the characters, as on Windows, so that
// code reading it as a terminated text works the same on both systems.
#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform {
namespace {

constexpr uint32_t kPrefixBytes = sizeof(uint32_t);
constexpr uint32_t kTerminatorBytes = sizeof(char16_t);
constexpr uint32_t kMaxByteLength =
    std::numeric_limits<uint32_t>::max() - kPrefixBytes - kTerminatorBytes;

unsigned char* BlockOf(BStr text) {
  return reinterpret_cast<unsigned char*>(text) - kPrefixBytes;
}

BStr AllocateBytes(const void* source, uint32_t byteLength) {
  if (byteLength > kMaxByteLength) return nullptr;
  auto* block = static_cast<unsigned char*>(
      std::malloc(static_cast<size_t>(kPrefixBytes) + byteLength + kTerminatorBytes));
  if (block == nullptr) return nullptr;
  std::memcpy(block, &byteLength, kPrefixBytes);
  unsigned char* chars = block + kPrefixBytes;
  if (source != nullptr) {
    std::memcpy(chars, source, byteLength);
  } else {
    std::memset(chars, 0, byteLength);
  }
  std::memset(chars + byteLength, 0, kTerminatorBytes);
  return reinterpret_cast<BStr>(chars);
}

}  // namespace

BStr SysAllocStringLen(const char16_t* text, uint32_t length) {
  if (length > kMaxByteLength / sizeof(char16_t)) return nullptr;
  return AllocateBytes(text, length * static_cast<uint32_t>(sizeof(char16_t)));
}

BStr SysAllocStringByteLen(const char* bytes, uint32_t byteLength) {
  return AllocateBytes(bytes, byteLength);
}

uint32_t SysStringByteLen(BStr text) {
  if (text == nullptr) return 0;
  uint32_t byteLength;
  std::memcpy(&byteLength, BlockOf(text), kPrefixBytes);
  return byteLength;
}

uint32_t SysStringLen(BStr text) {
  return SysStringByteLen(text) / static_cast<uint32_t>(sizeof(char16_t));
}

void SysFreeString(BStr text) {
  if (text != nullptr) std::free(BlockOf(text));
}

void SetVariantBStr(Variant* variant, BStr text) {
  variant->vt = kVT_BSTR;
  variant->bstrVal = text;
}

uint16_t VariantType(const Variant* variant) { return variant->vt; }

BStr VariantBStr(const Variant* variant) { return variant->bstrVal; }

}  // namespace platform
