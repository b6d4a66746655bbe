// The string as the host sees it: the COM method table in its fixed slot
// order, the header words, the BSTR and VARIANT methods and their bounds.
#include "text/nrv_string_rep.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/bstr.h"
#include "text/nrv_string.h"

namespace {

using NRV::String;
using platform::BStr;
using platform::VariantBool;

constexpr HResult kE_POINTER = static_cast<HResult>(0x80004003u);

struct BStrHolder {
  explicit BStrHolder(const char16_t* text)
      : value(platform::SysAllocStringLen(text, static_cast<uint32_t>(
                                                    std::char_traits<char16_t>::length(text)))) {}
  explicit BStrHolder(BStr adopted) : value(adopted) {}
  ~BStrHolder() { platform::SysFreeString(value); }
  BStrHolder(const BStrHolder&) = delete;
  BStrHolder& operator=(const BStrHolder&) = delete;
  BStr value;
};

// A fresh unique representation of the given capacity, owned by the test.
INRVString* NewEmpty(uint32_t length) {
  INRVString* rep = nullptr;
  EXPECT_EQ(String().Interface()->CreateEmpty(length, &rep), kS_OK);
  return rep;
}

TEST(NrvStringRepLayout, HeaderWordsPrecedeTheCharacters) {
  String s(u"abcdefghij");  // count 11, capacity 11
  const String copy = s;
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.Chars());
  uint32_t count, capacity;
  int32_t references;
  std::memcpy(&count, bytes - 4, 4);
  std::memcpy(&capacity, bytes - 8, 4);
  std::memcpy(&references, bytes - 12, 4);
  EXPECT_EQ(count, 11u);
  EXPECT_EQ(capacity, 11u);
  EXPECT_EQ(references, 2);
  const void* header = bytes - sizeof(NRVString::StringRep);
  EXPECT_EQ(header, static_cast<const void*>(s.Interface()));
}

// Calls slot `slot` of the object's method table directly, as the host does.
template <typename Result, typename... Args>
Result CallSlot(INRVString* object, int slot, Args... args) {
  using Method = Result(VOZI_STDCALL*)(INRVString*, Args...);
  void** table = *reinterpret_cast<void***>(object);
  return reinterpret_cast<Method>(table[slot])(object, args...);
}

TEST(NrvStringRepSlots, MethodTableOrderIsFixed) {
  String s(u"slots");
  INRVString* rep = s.Interface();
  EXPECT_EQ(CallSlot<uint32_t>(rep, 1), 2u);  // AddRef
  EXPECT_EQ(CallSlot<uint32_t>(rep, 2), 1u);  // Release
  VariantBool empty = 7;
  EXPECT_EQ(CallSlot<HResult>(rep, 5, &empty), kS_OK);  // IsEmpty
  EXPECT_EQ(empty, platform::kVariantFalse);
  uint32_t length = 0;
  EXPECT_EQ(CallSlot<HResult>(rep, 6, &length), kS_OK);  // GetLength
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(CallSlot<int32_t>(rep, 9), 9);     // ImplementationTag
  uint32_t max = 0;
  EXPECT_EQ(CallSlot<HResult>(rep, 12, &max), kS_OK);  // GetMaxLength
  EXPECT_EQ(max, 7u);
  EXPECT_EQ(CallSlot<uint32_t>(rep, 15), 5u);  // Length
  EXPECT_EQ(CallSlot<HResult>(rep, 17), kS_OK);  // Reserved
  EXPECT_EQ(CallSlot<char16_t*>(rep, 18), s.Chars());  // GetChars

  INRVString* fresh = NewEmpty(3);
  CallSlot<void>(fresh, 16);  // Destroy frees it (a leak or double free shows under ASan)
}

TEST(NrvStringRepCom, QueryInterfaceAnswersTheThreeIdentifiers) {
  String s(u"q");
  INRVString* rep = s.Interface();
  for (const com::Guid& iid : {com::kIID_IUnknown, kIID_IAutoNRVString, kIID_INRVString}) {
    void* out = nullptr;
    EXPECT_EQ(rep->QueryInterface(iid, &out), kS_OK);
    EXPECT_EQ(out, static_cast<void*>(rep));
    EXPECT_TRUE(s.IsShared());
    rep->Release();
  }
  com::Guid other = kIID_INRVString;
  other.data4[7] ^= 1;
  void* out = &other;
  EXPECT_EQ(rep->QueryInterface(other, &out), kE_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(s.IsShared());
  EXPECT_EQ(rep->QueryInterface(kIID_INRVString, nullptr), kE_POINTER);
}

TEST(NrvStringRepCom, CreateEmptyCapacityAndLastRelease) {
  INRVString* small = NewEmpty(3);
  uint32_t max = 0;
  small->GetMaxLength(&max);
  EXPECT_EQ(max, 7u);  // capacity max(n + 1, 8)
  EXPECT_EQ(small->Length(), 0u);
  EXPECT_EQ(small->Release(), 0u);

  INRVString* large = NewEmpty(30);
  large->GetMaxLength(&max);
  EXPECT_EQ(max, 30u);
  EXPECT_EQ(large->AddRef(), 2u);
  EXPECT_EQ(large->Release(), 1u);
  EXPECT_EQ(large->Release(), 0u);

  INRVString* huge = reinterpret_cast<INRVString*>(&max);
  EXPECT_NE(String().Interface()->CreateEmpty(0xFFFFFFFFu, &huge), kS_OK);
  EXPECT_EQ(huge, nullptr);
}

TEST(NrvStringRepBStr, AssignFromBStrBounds) {
  INRVString* rep = NewEmpty(7);  // capacity 8
  BStrHolder seven(u"1234567");
  BStrHolder eight(u"12345678");
  EXPECT_EQ(rep->AssignFromBSTR(seven.value), kS_OK);  // length = capacity - 1
  EXPECT_EQ(std::u16string(rep->GetChars()), u"1234567");
  EXPECT_EQ(rep->Length(), 7u);
  EXPECT_EQ(rep->AssignFromBSTR(eight.value), kE_FAIL);  // length = capacity
  EXPECT_EQ(std::u16string(rep->GetChars()), u"1234567");
  EXPECT_EQ(rep->AssignFromBSTR(nullptr), kS_OK);  // null empties
  EXPECT_EQ(rep->Length(), 0u);
  EXPECT_EQ(rep->GetChars()[0], u'\0');

  rep->AddRef();  // shared now
  EXPECT_EQ(rep->AssignFromBSTR(seven.value), kE_FAIL);
  EXPECT_EQ(rep->Length(), 0u);
  rep->Release();
  rep->Release();

  BStrHolder text(u"x");
  EXPECT_EQ(String().Interface()->AssignFromBSTR(text.value), kE_FAIL);
  EXPECT_EQ(String().Length(), 0u);
}

TEST(NrvStringRepBStr, CopyToBStr) {
  String s(u"text");
  BStr out = platform::SysAllocStringLen(u"previous", 8);  // freed by the call
  EXPECT_EQ(s.Interface()->CopyToBSTR(&out), kS_OK);
  BStrHolder result(out);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(platform::SysStringLen(out), 4u);
  EXPECT_EQ(platform::SysStringByteLen(out), 8u);
  EXPECT_EQ(std::u16string(out), u"text");

  BStr empty = platform::SysAllocStringLen(u"old", 3);
  EXPECT_EQ(String().Interface()->CopyToBSTR(&empty), kS_OK);
  EXPECT_EQ(empty, nullptr);
  EXPECT_EQ(s.Interface()->CopyToBSTR(nullptr), kE_FAIL);
}

TEST(NrvStringRepBStr, GetAsVariant) {
  platform::Variant variant;
  EXPECT_EQ(String(u"v").Interface()->GetAsVariant(&variant), kS_OK);
  EXPECT_EQ(platform::VariantType(&variant), platform::kVT_BSTR);
  BStrHolder value(platform::VariantBStr(&variant));
  EXPECT_EQ(std::u16string(value.value), u"v");

  platform::Variant empty;
  EXPECT_EQ(String().Interface()->GetAsVariant(&empty), kS_OK);
  EXPECT_EQ(platform::VariantType(&empty), platform::kVT_BSTR);
  EXPECT_EQ(platform::VariantBStr(&empty), nullptr);
}

TEST(NrvStringRepChars, CopyCharsNeedsRoomForTheTerminator) {
  String s(u"abc");  // count 4: 8 bytes
  std::vector<char16_t> out(6, u'#');
  EXPECT_EQ(s.Interface()->CopyChars(7, out.data()), kE_FAIL);
  EXPECT_EQ(out[0], u'#');
  EXPECT_EQ(s.Interface()->CopyChars(-1, out.data()), kE_FAIL);
  EXPECT_EQ(s.Interface()->CopyChars(8, out.data()), kS_OK);
  EXPECT_EQ(std::u16string(out.data(), 5), std::u16string(u"abc\0#", 5));
  EXPECT_EQ(s.Interface()->CopyChars(8, nullptr), kE_POINTER);
}

TEST(NrvStringRepQueries, LengthsAndFlags) {
  String s(u"four");
  INRVString* rep = s.Interface();
  uint32_t length = 0, charSize = 0;
  EXPECT_EQ(rep->GetLengthAndCharSize(&length, &charSize), kS_OK);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(charSize, 2u);
  VariantBool flag = 0;
  rep->IsShared(&flag);
  EXPECT_EQ(flag, platform::kVariantFalse);
  const String copy = s;
  rep->IsShared(&flag);
  EXPECT_EQ(flag, platform::kVariantTrue);
  String().Interface()->IsEmpty(&flag);
  EXPECT_EQ(flag, platform::kVariantTrue);
}

// A string interface from another implementation: it answers a different tag,
// so IsEqual must go through its BSTR, and free it afterwards.
class ForeignString final : public INRVString {
 public:
  explicit ForeignString(const char16_t* text, bool nonNullEmpty = false)
      : text_(text), nonNullEmpty_(nonNullEmpty) {}
  int copies = 0;

  HResult VOZI_STDCALL QueryInterface(const com::Guid&, void**) override { return kE_NOINTERFACE; }
  uint32_t VOZI_STDCALL AddRef() override { return 1; }
  uint32_t VOZI_STDCALL Release() override { return 1; }
  HResult VOZI_STDCALL AssignFromBSTR(BStr) override { return kE_FAIL; }
  HResult VOZI_STDCALL CopyToBSTR(BStr* out) override {
    ++copies;
    *out = text_.empty() && !nonNullEmpty_
               ? nullptr
               : platform::SysAllocStringLen(text_.data(), static_cast<uint32_t>(text_.size()));
    return kS_OK;
  }
  HResult VOZI_STDCALL IsEmpty(VariantBool*) override { return kE_FAIL; }
  HResult VOZI_STDCALL GetLength(uint32_t*) override { return kE_FAIL; }
  HResult VOZI_STDCALL IsEqual(INRVString*, VariantBool*) override { return kE_FAIL; }
  HResult VOZI_STDCALL IsShared(VariantBool*) override { return kE_FAIL; }
  int32_t VOZI_STDCALL ImplementationTag() override { return 7; }
  HResult VOZI_STDCALL CopyChars(int32_t, void*) override { return kE_FAIL; }
  HResult VOZI_STDCALL GetLengthAndCharSize(uint32_t*, uint32_t*) override { return kE_FAIL; }
  HResult VOZI_STDCALL GetMaxLength(uint32_t*) override { return kE_FAIL; }
  HResult VOZI_STDCALL CreateEmpty(uint32_t, INRVString**) override { return kE_FAIL; }
  HResult VOZI_STDCALL GetAsVariant(platform::Variant*) override { return kE_FAIL; }
  uint32_t VOZI_STDCALL Length() override { return 0; }
  void VOZI_STDCALL Destroy() override {}
  HResult VOZI_STDCALL Reserved() override { return kS_OK; }
  // Deliberately not the text: IsEqual must not read a foreign object's chars.
  char16_t* VOZI_STDCALL GetChars() override { return decoy_; }

 private:
  std::u16string text_;
  bool nonNullEmpty_;
  char16_t decoy_[8] = u"decoy";
};

VariantBool Equal(const String& s, INRVString* other) {
  VariantBool result = 1;
  EXPECT_EQ(s.Interface()->IsEqual(other, &result), kS_OK);
  return result;
}

TEST(NrvStringRepEqual, OwnRepresentationsCompareTheirTexts) {
  const String a(u"same text");
  const String b(u"same text");
  ASSERT_NE(a.Interface(), b.Interface());
  EXPECT_EQ(Equal(a, b.Interface()), platform::kVariantTrue);
  EXPECT_EQ(Equal(a, a.Interface()), platform::kVariantTrue);
  EXPECT_EQ(Equal(a, String(u"same tex").Interface()), platform::kVariantFalse);
  EXPECT_EQ(Equal(a, String(u"same text!").Interface()), platform::kVariantFalse);
  EXPECT_EQ(Equal(String(), String(u"").Interface()), platform::kVariantTrue);
  EXPECT_EQ(Equal(String(), a.Interface()), platform::kVariantFalse);
}

TEST(NrvStringRepEqual, ForeignStringsCompareThroughTheirBStr) {
  struct Case {
    const char16_t* ours;
    const char16_t* theirs;
    bool nonNullEmpty;
    VariantBool expected;
  };
  for (const Case& c : {Case{u"decoy", u"decoy", false, platform::kVariantTrue},
                        Case{u"abc", u"abc", false, platform::kVariantTrue},
                        Case{u"decoy", u"other", false, platform::kVariantFalse},
                        Case{u"abc", u"ab", false, platform::kVariantFalse},
                        Case{u"ab", u"abc", false, platform::kVariantFalse},
                        Case{u"", u"", false, platform::kVariantTrue},  // null BSTR
                        Case{u"", u"", true, platform::kVariantFalse},  // empty, non-null
                        Case{u"abc", u"", false, platform::kVariantFalse}}) {
    ForeignString foreign(c.theirs, c.nonNullEmpty);
    EXPECT_EQ(Equal(String(c.ours), &foreign), c.expected)
        << "ours \"" << String(c.ours).Narrow() << "\"";
    EXPECT_EQ(foreign.copies, 1);
  }
}

TEST(NrvStringRepForeign, FromInterfaceCopiesAForeignText) {
  ForeignString foreign(u"from the host");
  const String copy = String::FromInterface(&foreign);
  EXPECT_EQ(copy, u"from the host");
  EXPECT_EQ(foreign.copies, 1);
}

TEST(BStr, LengthPrefixAndTerminator) {
  BStrHolder text(u"abc");
  EXPECT_EQ(platform::SysStringLen(text.value), 3u);
  EXPECT_EQ(text.value[3], u'\0');
  BStrHolder bytes(platform::SysAllocStringByteLen("xyz", 3));
  EXPECT_EQ(platform::SysStringByteLen(bytes.value), 3u);
  EXPECT_EQ(platform::SysStringLen(bytes.value), 1u);
  EXPECT_EQ(std::memcmp(bytes.value, "xyz\0\0", 5), 0);
  BStrHolder zeroed(platform::SysAllocStringLen(nullptr, 2));
  EXPECT_EQ(zeroed.value[0], u'\0');
  EXPECT_EQ(zeroed.value[1], u'\0');
  EXPECT_EQ(platform::SysStringLen(nullptr), 0u);
  platform::SysFreeString(nullptr);
}

}  // namespace
