#include "text/nrv_string_rep.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "text/xmsg.h"

namespace NRVString {
namespace {

constexpr HResult kE_POINTER = static_cast<HResult>(0x80004003u);
constexpr HResult kE_OUTOFMEMORY = static_cast<HResult>(0x8007000Eu);

constexpr platform::VariantBool AsVariantBool(bool value) {
  return value ? platform::kVariantTrue : platform::kVariantFalse;
}

// The empty text is handed out as a null BSTR: the host treats null as "".
platform::BStr NewBStrOf(std::u16string_view text) {
  if (text.empty()) return nullptr;
  return platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}

// Both texts zero-terminated, as two strings of this library compare.
bool TerminatedTextsEqual(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == u'\0') return true;
  }
}

// Holds the shared empty representation's own reference until process exit.
struct SharedEmptyHolder {
  StringRep* rep = StringRep::Allocate(9);
  ~SharedEmptyHolder() { rep->ReleaseReference(); }
};

}  // namespace

const char* StringRepBase::ReplaceNarrow(char* text) {
  delete[] narrow_;
  narrow_ = text;
  narrowValid_ = 1;
  return narrow_;
}

void StringRepBase::FreeNarrow() {
  delete[] narrow_;
  narrow_ = nullptr;
  narrowValid_ = 0;
}

void StringRep::CheckLayout() {
  // The host reads strings through this header, so the field order is fixed.
  // The members are reached by offsetof, which the compiler supports for this
  // single-inheritance class even though it has a method table.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static_assert(offsetof(StringRep, references_) == 2 * sizeof(void*) + 4);
  static_assert(offsetof(StringRep, capacity_) == 2 * sizeof(void*) + 8);
  static_assert(offsetof(StringRep, count_) == 2 * sizeof(void*) + 12);
#pragma GCC diagnostic pop
  static_assert(sizeof(StringRep) == 2 * sizeof(void*) + 16);
  static_assert(sizeof(std::atomic<int32_t>) == 4 && std::atomic<int32_t>::is_always_lock_free);
#if defined(_WIN32) && !defined(_WIN64)
  static_assert(sizeof(StringRep) == 6 * 4, "six 32-bit header words");
#endif
}

StringRep* StringRep::Allocate(uint64_t capacity) {
  if (capacity > kMaxCapacity) throw xmsg("NRV::String size too big");
  const auto units = static_cast<uint32_t>(std::max<uint64_t>(capacity, kMinCapacity));
  void* block = ::operator new(sizeof(StringRep) + units * sizeof(char16_t));
  auto* rep = new (block) StringRep(units);
  rep->Chars()[0] = u'\0';
  return rep;
}

StringRep* StringRep::FromText(std::u16string_view text) {
  StringRep* rep = Allocate(static_cast<uint64_t>(text.size()) + 1);
  std::copy(text.begin(), text.end(), rep->Chars());
  rep->SetCount(static_cast<uint32_t>(text.size()) + 1);
  return rep;
}

StringRep* StringRep::CopyOf(const StringRep& source, uint64_t capacity) {
  StringRep* rep = Allocate(capacity);
  const uint32_t count = std::min(source.count_, rep->capacity_);
  std::copy_n(source.Chars(), count, rep->Chars());
  rep->SetCount(count);
  return rep;
}

StringRep* StringRep::SharedEmpty() {
  static const SharedEmptyHolder holder;
  return holder.rep;
}

void StringRep::SetCount(uint32_t count) {
  count_ = std::clamp<uint32_t>(count, 1, capacity_);
  Chars()[count_ - 1] = u'\0';
}

int32_t StringRep::ReleaseReference() {
  const int32_t left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) Destroy();
  return left;
}

HResult StringRep::QueryInterface(const com::Guid& iid, void** object) {
  if (object == nullptr) return kE_POINTER;
  if (iid == com::kIID_IUnknown || iid == kIID_IAutoNRVString || iid == kIID_INRVString) {
    AddReference();
    *object = this;
    return kS_OK;
  }
  *object = nullptr;
  return kE_NOINTERFACE;
}

uint32_t StringRep::AddRef() {
  return static_cast<uint32_t>(references_.fetch_add(1, std::memory_order_relaxed) + 1);
}

uint32_t StringRep::Release() { return static_cast<uint32_t>(ReleaseReference()); }

HResult StringRep::AssignFromBSTR(platform::BStr text) {
  // A shared text belongs to other owners too; the host may only fill its own.
  if (!Unique()) return kE_FAIL;
  InvalidateNarrow();
  if (text == nullptr) {
    SetCount(1);
    return kS_OK;
  }
  const uint32_t length = platform::SysStringLen(text);
  if (length >= capacity_) return kE_FAIL;
  std::copy_n(text, length, Chars());
  SetCount(length + 1);
  return kS_OK;
}

HResult StringRep::CopyToBSTR(platform::BStr* out) {
  if (out == nullptr) return kE_FAIL;
  platform::SysFreeString(*out);
  *out = nullptr;
  if (count_ <= 1) return kS_OK;
  *out = NewBStrOf(View());
  return *out != nullptr ? kS_OK : kE_OUTOFMEMORY;
}

HResult StringRep::IsEmpty(platform::VariantBool* out) {
  if (out == nullptr) return kE_POINTER;
  *out = AsVariantBool(count_ <= 1);
  return kS_OK;
}

HResult StringRep::GetLength(uint32_t* out) {
  if (out == nullptr) return kE_POINTER;
  *out = TextLength();
  return kS_OK;
}

HResult StringRep::IsEqual(INRVString* other, platform::VariantBool* out) {
  if (other == nullptr || out == nullptr) return kE_POINTER;
  if (other == this) {
    *out = platform::kVariantTrue;
  } else if (other->ImplementationTag() == kNRVStringImplementationTag) {
    *out = AsVariantBool(TerminatedTextsEqual(Chars(), other->GetChars()));
  } else {
    // A foreign implementation: only its BSTR form can be trusted.
    platform::BStr theirs = nullptr;
    other->CopyToBSTR(&theirs);
    *out = AsVariantBool(CompareWithBStr(View(), theirs) == 0);
    platform::SysFreeString(theirs);
  }
  return kS_OK;
}

HResult StringRep::IsShared(platform::VariantBool* out) {
  if (out == nullptr) return kE_POINTER;
  *out = AsVariantBool(!Unique());
  return kS_OK;
}

int32_t StringRep::ImplementationTag() { return kNRVStringImplementationTag; }

HResult StringRep::CopyChars(int32_t byteSize, void* destination) {
  const uint64_t needed = static_cast<uint64_t>(count_) * sizeof(char16_t);
  if (byteSize < 0 || static_cast<uint64_t>(byteSize) < needed) return kE_FAIL;
  if (destination == nullptr) return kE_POINTER;
  std::memcpy(destination, Chars(), needed);
  return kS_OK;
}

HResult StringRep::GetLengthAndCharSize(uint32_t* length, uint32_t* charSize) {
  if (length == nullptr || charSize == nullptr) return kE_POINTER;
  *length = TextLength();
  *charSize = sizeof(char16_t);
  return kS_OK;
}

HResult StringRep::GetMaxLength(uint32_t* out) {
  if (out == nullptr) return kE_POINTER;
  *out = capacity_ - 1;
  return kS_OK;
}

HResult StringRep::CreateEmpty(uint32_t length, INRVString** out) {
  if (out == nullptr) return kE_POINTER;
  *out = nullptr;
  // No exception may cross the interface: an impossible size or a failed
  // allocation becomes an HRESULT.
  try {
    *out = Allocate(static_cast<uint64_t>(length) + 1);
  } catch (const std::bad_alloc&) {
    return kE_OUTOFMEMORY;
  } catch (const xmsg&) {
    return kE_OUTOFMEMORY;
  }
  return kS_OK;
}

HResult StringRep::GetAsVariant(platform::Variant* out) {
  if (out == nullptr) return kE_POINTER;
  platform::BStr text = NewBStrOf(View());
  platform::SetVariantBStr(out, text);
  return (text != nullptr || count_ <= 1) ? kS_OK : kE_OUTOFMEMORY;
}

uint32_t StringRep::Length() { return TextLength(); }

void StringRep::Destroy() { DeleteThis(kFreeBlock); }

HResult StringRep::Reserved() { return kS_OK; }

char16_t* StringRep::GetChars() { return Chars(); }

void StringRep::DeleteThis(uint32_t flags) {
  void* block = this;
  this->~StringRep();  // frees the narrow copy
  if ((flags & kFreeBlock) != 0) ::operator delete(block);
}

int CompareWithBStr(std::u16string_view text, platform::BStr bstr) {
  if (bstr == nullptr) return text.empty() ? 0 : 1;
  if (text.empty()) return -1;  // "" is not equal to a non-null empty BSTR
  const std::u16string_view theirs(bstr, platform::SysStringLen(bstr));
  const size_t shorter = std::min(text.size(), theirs.size());
  for (size_t i = 0; i < shorter; ++i) {
    if (text[i] != theirs[i]) return text[i] < theirs[i] ? -1 : 1;
  }
  if (text.size() == theirs.size()) return 0;
  return text.size() < theirs.size() ? -1 : 1;
}

}  // namespace NRVString
