// NRV::String driven by the input against a std::u16string model.
//
// Four string slots, each with the text it must hold. Every input byte picks
// an operation (appends, also of a string's own text, replacement, erasure,
// copies and moves between slots, lower-casing, the narrow form, BSTR and
// VARIANT round trips, CopyChars with sizes around the needed one, the
// buffer preparation, construction from counted narrow text, the interface's
// queries); the following bytes give its operands. After every operation
// every slot must hold its model's text, stay terminated within its capacity,
// and the shared empty representation must still be empty. Copies share, so
// an operation that forgets to make its string unique first changes another
// slot and is caught there.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_check.h"
#include "platform/bstr.h"
#include "text/nrv_string.h"
#include "text/xmsg.h"

namespace {

using NRV::String;

constexpr int kSlots = 4;
constexpr size_t kMaxLength = 1 << 14;  // keeps repeated self-appends bounded

struct State {
  String strings[kSlots];
  std::u16string models[kSlots];
};

std::string Describe(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
  return fuzz::Printable(out);
}

std::u16string TextFrom(fuzz::Input& in) {
  std::u16string text;
  const size_t length = in.Byte() % 20;
  for (size_t i = 0; i < length; ++i) {
    // Mostly letters (lower-casing matters), sometimes any unit, zero included.
    const uint8_t kind = in.Byte();
    text += kind < 0xC0 ? static_cast<char16_t>(u'A' + kind % 58) : static_cast<char16_t>(in.Unit());
  }
  return text;
}

// The text up to its first zero unit: what terminated readers see.
std::u16string_view Terminated(std::u16string_view text) { return text.substr(0, text.find(u'\0')); }

void CheckSlot(const State& s, int i) {
  const String& str = s.strings[i];
  const std::string which = "slot " + std::to_string(i);
  FUZZ_CHECK(str.View() == s.models[i],
             which + " holds \"" + Describe(str.View()) + "\", model \"" + Describe(s.models[i]) + "\"");
  FUZZ_CHECK(str.Chars()[str.Length()] == u'\0', which + ": no terminator at count - 1");
  FUZZ_CHECK(str.Capacity() >= str.Length() + 1 && str.Capacity() >= 8, which + ": capacity below count or 8");
  INRVString* rep = str.Interface();
  uint32_t length = 0, charSize = 0, maximum = 0;
  platform::VariantBool empty = 1;
  FUZZ_CHECK(rep->GetLength(&length) == kS_OK && length == str.Length(), which + ": GetLength");
  FUZZ_CHECK(rep->Length() == str.Length(), which + ": Length");
  FUZZ_CHECK(rep->GetLengthAndCharSize(&length, &charSize) == kS_OK && length == str.Length() && charSize == 2,
             which + ": GetLengthAndCharSize");
  FUZZ_CHECK(rep->GetMaxLength(&maximum) == kS_OK && maximum == str.Capacity() - 1, which + ": GetMaxLength");
  FUZZ_CHECK(rep->IsEmpty(&empty) == kS_OK && empty == (str.Length() == 0 ? -1 : 0), which + ": IsEmpty");
  FUZZ_CHECK(rep->GetChars() == str.Chars(), which + ": GetChars");
}

void CheckAll(const State& s) {
  for (int i = 0; i < kSlots; ++i) CheckSlot(s, i);
  const String empty;
  FUZZ_CHECK(empty.Length() == 0 && empty.Chars()[0] == u'\0' && empty.Capacity() == 9,
             "the shared empty representation was changed");
}

// Appending grows to 1.5 times the needed count, and only when it must.
void Append(String& str, std::u16string& model, std::u16string_view text) {
  if (model.size() + text.size() > kMaxLength) return;
  const uint64_t capacity = str.Capacity();
  const uint64_t count = model.size() + 1 + text.size();
  model.append(text);  // before the call: text may be the string's own
  str.Append(text);
  if (text.empty()) return;
  const uint64_t expected = count > capacity ? count * 3 / 2 : capacity;
  FUZZ_CHECK(str.Capacity() == expected, "append of " + std::to_string(text.size()) + " to capacity " +
                                            std::to_string(capacity) + " gave capacity " +
                                            std::to_string(str.Capacity()) + ", expected " + std::to_string(expected));
}

void Replace(String& str, std::u16string& model, uint32_t position, uint32_t count, std::u16string_view text) {
  if (position >= model.size()) {
    Append(str, model, text);
    return;
  }
  if (model.size() + text.size() > kMaxLength) return;
  const uint64_t capacity = str.Capacity();
  const std::u16string replacement(text);
  model.replace(position, count, replacement);
  str.Replace(position, count, text);
  // The text is sized exactly (no 1.5 factor) when it no longer fits.
  const uint64_t needed = model.size() + 1;
  const uint64_t expected = needed > capacity && !text.empty() ? needed : capacity;
  FUZZ_CHECK(str.Capacity() == expected, "replace gave capacity " + std::to_string(str.Capacity()) +
                                            ", expected " + std::to_string(expected));
}

void Erase(String& str, std::u16string& model, uint32_t from, uint32_t to) {
  const uint32_t capacity = str.Capacity();
  if (from < to && from < model.size()) model.erase(from, to - from);
  str.Erase(from, to);
  FUZZ_CHECK(str.Capacity() == capacity, "erase changed the capacity");
}

void NarrowForm(String& str, const std::u16string& model) {
  const char* narrow = str.Narrow();
  FUZZ_CHECK(narrow != nullptr, "Narrow gave null");
  FUZZ_CHECK(!str.IsShared(), "Narrow left the representation shared");
  const std::u16string_view text = Terminated(model);
  bool ascii = true;
  for (char16_t c : text) ascii = ascii && c < 0x80;
  if (!ascii) return;
  FUZZ_CHECK(std::strlen(narrow) == text.size(), "narrow form of ASCII text has another length");
  for (size_t k = 0; k < text.size(); ++k) FUZZ_CHECK(narrow[k] == static_cast<char>(text[k]), "narrow byte");
}

void BStrRoundTrip(State& s, int i, int j) {
  platform::BStr bstr = platform::SysAllocStringLen(u"previous", 8);  // CopyToBSTR frees it
  FUZZ_CHECK(s.strings[i].Interface()->CopyToBSTR(&bstr) == kS_OK, "CopyToBSTR failed");
  FUZZ_CHECK((bstr == nullptr) == s.models[i].empty(), "CopyToBSTR: null exactly for the empty text");
  const std::u16string_view copied(bstr != nullptr ? bstr : u"", platform::SysStringLen(bstr));
  FUZZ_CHECK(copied == s.models[i], "CopyToBSTR text");
  s.strings[j] = String(copied);
  s.models[j] = s.models[i];
  platform::SysFreeString(bstr);
}

void AssignFromBStr(State& s, int i, fuzz::Input& in) {
  String& str = s.strings[i];
  const bool null = in.Byte() % 8 == 0;
  const std::u16string text = TextFrom(in);
  platform::BStr bstr = null ? nullptr : platform::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  const bool shared = str.IsShared();
  const uint32_t capacity = str.Capacity();
  const HResult result = str.Interface()->AssignFromBSTR(bstr);
  platform::SysFreeString(bstr);
  if (shared || (!null && text.size() >= capacity)) {
    FUZZ_CHECK(result == kE_FAIL, "AssignFromBSTR on a shared or too small representation succeeded");
    return;
  }
  FUZZ_CHECK(result == kS_OK, "AssignFromBSTR failed on a unique representation that fits");
  s.models[i] = null ? std::u16string() : text;
}

void Variant(State& s, int i) {
  platform::Variant variant;
  s.strings[i].Interface()->GetAsVariant(&variant);
  FUZZ_CHECK(platform::VariantType(&variant) == platform::kVT_BSTR, "GetAsVariant type");
  const platform::BStr bstr = platform::VariantBStr(&variant);
  FUZZ_CHECK((bstr == nullptr) == s.models[i].empty(), "GetAsVariant: null exactly for the empty text");
  FUZZ_CHECK(std::u16string_view(bstr != nullptr ? bstr : u"", platform::SysStringLen(bstr)) == s.models[i],
             "GetAsVariant text");
  platform::SysFreeString(bstr);
}

// The destination is exactly byteSize bytes (when that is a sane size), so
// that writing past it is an overflow the address sanitizer reports.
void CopyChars(State& s, int i, fuzz::Input& in) {
  const uint8_t mode = in.Byte();
  const int64_t needed = (static_cast<int64_t>(s.models[i].size()) + 1) * 2;
  int64_t size = needed + static_cast<int8_t>(in.Byte()) % 6;
  if (mode % 4 == 0) size = in.Int32();
  if (size < INT32_MIN || size > INT32_MAX) return;
  const size_t allocated = size <= 0 ? 1 : static_cast<size_t>(size < needed ? size : needed);
  auto buffer = std::make_unique<char16_t[]>((allocated + 1) / 2);
  const HResult result = s.strings[i].Interface()->CopyChars(static_cast<int32_t>(size), buffer.get());
  if (size < needed) {
    FUZZ_CHECK(result == kE_FAIL, "CopyChars into " + std::to_string(size) + " bytes, " +
                                      std::to_string(needed) + " needed, did not fail");
    return;
  }
  FUZZ_CHECK(result == kS_OK, "CopyChars into enough bytes failed");
  FUZZ_CHECK(std::u16string_view(buffer.get(), s.models[i].size()) == s.models[i] &&
                 buffer[s.models[i].size()] == u'\0',
             "CopyChars text");
}

void Compare(State& s, int i, int j) {
  platform::VariantBool equal = 1;
  FUZZ_CHECK(s.strings[i].Interface()->IsEqual(s.strings[j].Interface(), &equal) == kS_OK, "IsEqual result");
  // Two strings of this library compare as terminated texts.
  const bool same = s.strings[i].Interface() == s.strings[j].Interface() ||
                    Terminated(s.models[i]) == Terminated(s.models[j]);
  FUZZ_CHECK(equal == (same ? -1 : 0), "IsEqual of \"" + Describe(s.models[i]) + "\" and \"" +
                                           Describe(s.models[j]) + "\"");
  // Against a foreign string's BSTR: null only equals the empty text.
  platform::BStr bstr = s.models[j].empty() ? nullptr
                                            : platform::SysAllocStringLen(s.models[j].data(),
                                                                          static_cast<uint32_t>(s.models[j].size()));
  const int order = NRVString::CompareWithBStr(s.models[i], bstr);
  const int expected = s.models[i].compare(s.models[j]);
  FUZZ_CHECK((order < 0) == (expected < 0) && (order == 0) == (expected == 0), "CompareWithBStr order");
  platform::SysFreeString(bstr);
}

void PrepareBuffer(State& s, int i, fuzz::Input& in) {
  String& str = s.strings[i];
  const uint32_t length = in.Byte();
  const uint32_t written = length == 0 ? 0 : in.Byte() % (length + 1);
  const bool reusable = !str.IsShared() && str.Capacity() >= length + 1;
  const char16_t* before = str.Chars();
  char16_t* buffer = str.PrepareEmptyBuffer(length);
  FUZZ_CHECK(str.Capacity() >= length + 1 && buffer[length] == u'\0' && buffer[0] == u'\0',
             "prepared buffer too small or not cleared");
  if (reusable) FUZZ_CHECK(buffer == before, "a unique block large enough was not reused");
  std::u16string text;
  for (uint32_t k = 0; k < written; ++k) text += static_cast<char16_t>(u'a' + k % 26);
  std::copy(text.begin(), text.end(), buffer);
  str.SetLength(written);
  s.models[i] = text;
}

void FromCountedNarrow(State& s, int i, fuzz::Input& in) {
  const int32_t count = static_cast<int8_t>(in.Byte());
  const std::string bytes(in.Bytes(in.Byte() % 24));  // zero-terminated by std::string
  try {
    s.strings[i] = String(bytes.c_str(), count);
  } catch (const xmsg& e) {
    FUZZ_CHECK(count < 0 && std::string(e.what()) == "NRV::String size too big", "unexpected xmsg");
    return;
  }
  FUZZ_CHECK(count >= 0, "a negative byte count did not raise xmsg");
  const std::string taken = bytes.substr(0, std::min<size_t>(static_cast<size_t>(count), std::strlen(bytes.c_str())));
  std::u16string expected(taken.begin(), taken.end());
  bool ascii = true;
  for (char c : taken) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (!ascii) {
    FUZZ_CHECK(s.strings[i].Length() <= taken.size(), "more characters than bytes");
    expected = s.strings[i].ToU16String();
  }
  s.models[i] = expected;
}

void Interfaces(State& s, int i, fuzz::Input& in) {
  INRVString* rep = s.strings[i].Interface();
  static const com::Guid kOther = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const com::Guid* iids[] = {&com::kIID_IUnknown, &kIID_IAutoNRVString, &kIID_INRVString, &kOther};
  void* object = &object;
  const uint8_t pick = in.Byte() % 4;
  const HResult result = rep->QueryInterface(*iids[pick], &object);
  if (pick == 3) {
    FUZZ_CHECK(result == kE_NOINTERFACE && object == nullptr, "QueryInterface of an unknown IID");
  } else {
    FUZZ_CHECK(result == kS_OK && object == rep, "QueryInterface of a known IID");
    FUZZ_CHECK(s.strings[i].IsShared(), "QueryInterface took no reference");
    rep->Release();
  }
  INRVString* fresh = nullptr;
  const uint32_t length = in.Unit();
  FUZZ_CHECK(rep->CreateEmpty(length, &fresh) == kS_OK && fresh != nullptr, "CreateEmpty");
  uint32_t maximum = 0;
  fresh->GetMaxLength(&maximum);
  FUZZ_CHECK(maximum == std::max<uint32_t>(length + 1, 8) - 1 && fresh->Length() == 0, "CreateEmpty capacity");
  FUZZ_CHECK(fresh->Release() == 0, "CreateEmpty gave more than one reference");
}

void Step(State& s, fuzz::Input& in) {
  const uint8_t op = in.Byte();
  const int i = in.Byte() % kSlots;
  const int j = in.Byte() % kSlots;
  String& str = s.strings[i];
  std::u16string& model = s.models[i];
  switch (op % 18) {
    case 0: Append(str, model, TextFrom(in)); break;
    case 1: Append(str, model, std::u16string(1, static_cast<char16_t>(in.Unit()))); break;
    case 2: {  // a piece of its own text, or of another slot's (maybe shared)
      const std::u16string_view source = s.strings[j].View();
      const size_t from = in.Byte() % (source.size() + 1);
      const std::u16string_view piece = source.substr(from, in.Byte());
      Append(str, model, piece);
      break;
    }
    case 3: {
      const uint32_t position = in.Byte(), count = in.Byte();
      if (in.Byte() & 1) {
        const std::u16string_view own = str.View();
        Replace(str, model, position, count, own.substr(in.Byte() % (own.size() + 1), in.Byte()));
      } else {
        Replace(str, model, position, count, TextFrom(in));
      }
      break;
    }
    case 4: Erase(str, model, in.Byte(), in.Byte()); break;
    case 5: str = s.strings[j]; model = s.models[j]; break;
    case 6: { String copy(s.strings[j]); str = std::move(copy); model = s.models[j]; break; }
    case 7:
      if (i != j) {
        str = std::move(s.strings[j]);
        model = s.models[j];
        s.strings[j] = String();
        s.models[j].clear();
      }
      break;
    case 8: {
      str.ToLowerInPlace();
      for (char16_t& c : model) {
        if (c == u'\0') break;  // the runtime's lower-casing stops at the terminator
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      }
      break;
    }
    case 9: NarrowForm(str, model); break;
    case 10: BStrRoundTrip(s, i, j); break;
    case 11: AssignFromBStr(s, i, in); break;
    case 12: Variant(s, i); break;
    case 13: CopyChars(s, i, in); break;
    case 14: Compare(s, i, j); break;
    case 15: PrepareBuffer(s, i, in); break;
    case 16: FromCountedNarrow(s, i, in); break;
    case 17: Interfaces(s, i, in); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  State s;
  while (!in.Empty()) {
    Step(s, in);
    CheckAll(s);
  }
  return 0;
}
