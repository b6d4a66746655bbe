#pragma once
// The heap representation behind NRV::String: one block holding a six-word
// header and the characters, which is at the same time the COM object the host
// sees through INRVString. The header layout is part of that contract:
//   method table, narrow copy, narrow valid, references, capacity, count
// followed by `capacity` UTF-16 units with a zero at count - 1.
#include <atomic>
#include <cstdint>
#include <string_view>

#include "text/nrv_interfaces.h"

namespace NRVString {

// Owns the narrow copy and closes the method table with the deleting
// destructor (slot 19).
class StringRepBase : public INRVString {
 public:
  // Bit 0 of DeleteThis' flags: free the block as well.
  static constexpr uint32_t kFreeBlock = 1;

  virtual void VOZI_STDCALL DeleteThis(uint32_t flags) = 0;  // 19

  bool NarrowValid() const { return narrowValid_ != 0; }
  void InvalidateNarrow() { narrowValid_ = 0; }
  void FreeNarrow();
  // Takes ownership of `text` (from new[]) as the new narrow copy.
  const char* ReplaceNarrow(char* text);

 protected:
  StringRepBase() = default;
  ~StringRepBase() { delete[] narrow_; }
  StringRepBase(const StringRepBase&) = delete;
  StringRepBase& operator=(const StringRepBase&) = delete;

 private:
  char* narrow_ = nullptr;
  uint32_t narrowValid_ = 0;
};

class StringRep final : public StringRepBase {
 public:
  // Capacity never goes below this many units, terminator included.
  static constexpr uint32_t kMinCapacity = 8;
  // Largest capacity whose block size still fits a signed 32-bit byte count.
  static constexpr uint32_t kMaxCapacity = 0x3FFFFFF0;

  // A new block of max(capacity, 8) units holding the empty text, with one
  // reference. Throws xmsg when the capacity is beyond kMaxCapacity.
  static StringRep* Allocate(uint64_t capacity);
  // A new block holding `text`, capacity max(length + 1, 8).
  static StringRep* FromText(std::u16string_view text);
  // A new block with max(capacity, 8) units holding as much of `source`'s text
  // (terminator included) as fits.
  static StringRep* CopyOf(const StringRep& source, uint64_t capacity);
  // The process-wide empty text (capacity 9), holding a reference of its own
  // so that it is always shared and never changed in place. Not a new reference.
  static StringRep* SharedEmpty();

  static StringRep* FromChars(char16_t* chars) { return reinterpret_cast<StringRep*>(chars) - 1; }
  char16_t* Chars() { return reinterpret_cast<char16_t*>(this + 1); }
  const char16_t* Chars() const { return reinterpret_cast<const char16_t*>(this + 1); }

  uint32_t Capacity() const { return capacity_; }
  uint32_t Count() const { return count_; }
  uint32_t TextLength() const { return count_ - 1; }
  std::u16string_view View() const { return {Chars(), count_ - 1}; }
  // Sets the count (terminator included) and writes the terminator.
  void SetCount(uint32_t count);
  bool Unique() const { return references_.load(std::memory_order_acquire) == 1; }
  int32_t References() const { return references_.load(std::memory_order_acquire); }

  void AddReference() { references_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; the last one frees the block. Returns the new count.
  int32_t ReleaseReference();

  // IUnknown
  HResult VOZI_STDCALL QueryInterface(const com::Guid& iid, void** object) override;
  uint32_t VOZI_STDCALL AddRef() override;
  uint32_t VOZI_STDCALL Release() override;
  // IAutoNRVString
  HResult VOZI_STDCALL AssignFromBSTR(platform::BStr text) override;
  HResult VOZI_STDCALL CopyToBSTR(platform::BStr* out) override;
  HResult VOZI_STDCALL IsEmpty(platform::VariantBool* out) override;
  HResult VOZI_STDCALL GetLength(uint32_t* out) override;
  HResult VOZI_STDCALL IsEqual(INRVString* other, platform::VariantBool* out) override;
  HResult VOZI_STDCALL IsShared(platform::VariantBool* out) override;
  // INRVString
  int32_t VOZI_STDCALL ImplementationTag() override;
  HResult VOZI_STDCALL CopyChars(int32_t byteSize, void* destination) override;
  HResult VOZI_STDCALL GetLengthAndCharSize(uint32_t* length, uint32_t* charSize) override;
  HResult VOZI_STDCALL GetMaxLength(uint32_t* out) override;
  HResult VOZI_STDCALL CreateEmpty(uint32_t length, INRVString** out) override;
  HResult VOZI_STDCALL GetAsVariant(platform::Variant* out) override;
  uint32_t VOZI_STDCALL Length() override;
  void VOZI_STDCALL Destroy() override;
  HResult VOZI_STDCALL Reserved() override;
  char16_t* VOZI_STDCALL GetChars() override;
  // StringRepBase
  void VOZI_STDCALL DeleteThis(uint32_t flags) override;

 private:
  explicit StringRep(uint32_t capacity) : capacity_(capacity) {}
  ~StringRep() = default;
  static void CheckLayout();

  std::atomic<int32_t> references_{1};
  uint32_t capacity_;
  uint32_t count_ = 1;
};

// Compares a text with a BSTR the way IsEqual does for foreign strings: an
// empty text equals only a null BSTR, a non-empty one never does; otherwise
// units over the shorter length, then the shorter is smaller. <0, 0 or >0.
int CompareWithBStr(std::u16string_view text, platform::BStr bstr);

}  // namespace NRVString
