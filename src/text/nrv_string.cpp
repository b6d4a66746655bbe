#include "text/nrv_string.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

#include "platform/codepage.h"
#include "text/xmsg.h"

namespace NRV {
namespace {

using NRVString::StringRep;

StringRep* SharedEmptyReference() {
  StringRep* rep = StringRep::SharedEmpty();
  rep->AddReference();
  return rep;
}

StringRep* RepForText(std::u16string_view text) {
  return text.empty() ? SharedEmptyReference() : StringRep::FromText(text);
}

StringRep* RepForNarrow(std::string_view narrow) {
  const auto wide = platform::NarrowToWide(narrow, platform::kCP_ACP);
  return RepForText(wide ? std::u16string_view(*wide) : std::u16string_view());
}

size_t TerminatedLength(const char16_t* text) {
  return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

}  // namespace

String::String() noexcept : chars_(SharedEmptyReference()->Chars()) {}

String::String(const char16_t* text)
    : String(std::u16string_view(text != nullptr ? text : u"", TerminatedLength(text))) {}

String::String(std::u16string_view text) : chars_(RepForText(text)->Chars()) {}

String::String(const char* narrow)
    : chars_(RepForNarrow(narrow != nullptr ? std::string_view(narrow) : std::string_view())
                 ->Chars()) {}

String::String(const char* narrow, int32_t byteCount) : chars_(nullptr) {
  if (byteCount < 0) throw xmsg("NRV::String size too big");
  size_t bytes = 0;
  if (narrow != nullptr) {
    // Reads no further than the first zero: the caller's count may exceed
    // the text it passes.
    bytes = static_cast<size_t>(std::find(narrow, narrow + byteCount, '\0') - narrow);
  }
  chars_ = RepForNarrow(std::string_view(narrow != nullptr ? narrow : "", bytes))->Chars();
}

String::String(const String& other) noexcept : chars_(other.chars_) { Rep()->AddReference(); }

String::String(String&& other) noexcept : chars_(other.chars_) {
  other.chars_ = SharedEmptyReference()->Chars();
}

String& String::operator=(const String& other) noexcept {
  // Take the new reference first so that assigning a string to itself (or to
  // a copy sharing its representation) never frees what it is about to keep.
  other.Rep()->AddReference();
  Rep()->ReleaseReference();
  chars_ = other.chars_;
  return *this;
}

String& String::operator=(String&& other) noexcept {
  std::swap(chars_, other.chars_);
  return *this;
}

String::~String() { Rep()->ReleaseReference(); }

String String::FromInterface(INRVString* other) {
  if (other == nullptr) return String();
  if (other->ImplementationTag() == kNRVStringImplementationTag) {
    auto* rep = static_cast<StringRep*>(other);
    rep->AddReference();
    return String(rep);
  }
  platform::BStr text = nullptr;
  other->CopyToBSTR(&text);
  String copy(std::u16string_view(text != nullptr ? text : u"", platform::SysStringLen(text)));
  platform::SysFreeString(text);
  return copy;
}

void String::Adopt(StringRep* rep) {
  StringRep* old = Rep();
  chars_ = rep->Chars();
  old->ReleaseReference();
}

void String::Reallocate(uint64_t capacity) { Adopt(StringRep::CopyOf(*Rep(), capacity)); }

void String::MakeUnique() {
  if (Rep()->Unique()) {
    Rep()->InvalidateNarrow();
  } else {
    Reallocate(Rep()->Capacity());
  }
}

bool String::Overlaps(std::u16string_view text) const {
  const char16_t* begin = chars_;
  const char16_t* end = chars_ + Rep()->Capacity();
  return !text.empty() && std::less_equal<>()(begin, text.data()) &&
         std::less<>()(text.data(), end);
}

String& String::Append(std::u16string_view text) {
  if (text.empty()) return *this;
  if (Overlaps(text)) {
    // Appending part of itself: the buffer may move, so keep a copy.
    const std::u16string copy(text);
    return Append(std::u16string_view(copy));
  }
  MakeUnique();
  const uint64_t newCount = static_cast<uint64_t>(Rep()->Count()) + text.size();
  if (newCount > Rep()->Capacity()) Reallocate(newCount * 3 / 2);
  std::copy(text.begin(), text.end(), chars_ + Length());
  Rep()->SetCount(static_cast<uint32_t>(newCount));
  return *this;
}

String& String::Append(const char16_t* text) {
  return Append(std::u16string_view(text != nullptr ? text : u"", TerminatedLength(text)));
}

void String::Replace(uint32_t position, uint32_t count, std::u16string_view text) {
  if (position >= Length()) {
    Append(text);
    return;
  }
  if (Overlaps(text)) {
    const std::u16string copy(text);
    Replace(position, count, copy);
    return;
  }
  const uint32_t removed = std::min(count, Length() - position);
  Erase(position, position + removed);
  if (text.empty()) return;
  const uint64_t newCount = static_cast<uint64_t>(Rep()->Count()) + text.size();
  // Unlike appending, a replacement is sized exactly.
  if (newCount > Rep()->Capacity()) Reallocate(newCount);
  MakeUnique();
  // Move the tail, terminator included, up to make room.
  std::copy_backward(chars_ + position, chars_ + Rep()->Count(), chars_ + newCount);
  std::copy(text.begin(), text.end(), chars_ + position);
  Rep()->SetCount(static_cast<uint32_t>(newCount));
}

void String::Erase(uint32_t from, uint32_t to) {
  const uint32_t length = Length();
  if (from >= to || from >= length) return;
  MakeUnique();
  if (to < length) {
    std::copy(chars_ + to, chars_ + Rep()->Count(), chars_ + from);
    Rep()->SetCount(Rep()->Count() - (to - from));
  } else {
    Rep()->SetCount(from + 1);
  }
}

void String::ToLowerInPlace() {
  MakeUnique();
  platform::WideLowerInPlace(chars_, Rep()->Capacity());
}

char16_t* String::PrepareEmptyBuffer(uint32_t length) {
  const uint64_t wanted = static_cast<uint64_t>(length) + 1;
  if (Rep()->Unique() && Rep()->Capacity() >= wanted) {
    Rep()->FreeNarrow();
    Rep()->SetCount(1);
  } else {
    StringRep* fresh = StringRep::Allocate(wanted);
    Adopt(fresh);
  }
  chars_[length] = u'\0';
  return chars_;
}

void String::SetLength(uint32_t length) {
  MakeUnique();
  Rep()->SetCount(static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(length) + 1,
                                                           Rep()->Capacity())));
}

const char* String::Narrow() {
  MakeUnique();
  // Converted like a terminated source: the text ends at its first zero.
  const std::u16string_view text(chars_, TerminatedLength(chars_));
  const auto narrow = platform::WideToNarrow(text, platform::kCP_THREAD_ACP);
  const std::string_view bytes = narrow ? std::string_view(*narrow) : std::string_view();
  auto copy = std::make_unique<char[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  copy[bytes.size()] = '\0';
  return Rep()->ReplaceNarrow(copy.release());
}

}  // namespace NRV
