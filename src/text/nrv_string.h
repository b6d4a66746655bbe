#pragma once
// NRV::String: the system's text type. A UTF-16 string whose value is a
// single pointer to the characters of a shared, reference-counted
// representation (NRVString::StringRep); copies share, the first change makes
// a private copy. Every empty string shares one process-wide representation.
//
// Copies may be made and released from any thread; one String object must not
// be changed from two threads at once.
#include <cstdint>
#include <string>
#include <string_view>

#include "text/nrv_string_rep.h"

namespace NRV {

class String {
 public:
  // The shared empty text.
  String() noexcept;
  // A null or empty text gives the shared empty text.
  String(const char16_t* text);  // NOLINT: texts convert implicitly
  String(std::u16string_view text);  // NOLINT
  // Narrow text in the system ANSI code page; null, or a text that converts to
  // nothing, gives the empty string.
  explicit String(const char* narrow);
  // At most `byteCount` bytes, stopping at a zero byte, in the ANSI code page.
  // Throws xmsg "NRV::String size too big" when byteCount is negative.
  String(const char* narrow, int32_t byteCount);

  String(const String& other) noexcept;
  String(String&& other) noexcept;
  String& operator=(const String& other) noexcept;
  String& operator=(String&& other) noexcept;
  ~String();

  // A string for an interface the host gave us: ours are shared, a foreign
  // implementation's text is copied through its BSTR.
  static String FromInterface(INRVString* other);

  uint32_t Length() const { return Rep()->TextLength(); }
  bool IsEmpty() const { return Length() == 0; }
  const char16_t* Chars() const { return chars_; }
  std::u16string_view View() const { return Rep()->View(); }
  std::u16string ToU16String() const { return std::u16string(View()); }
  uint32_t Capacity() const { return Rep()->Capacity(); }
  bool IsShared() const { return !Rep()->Unique(); }
  // The representation as the host sees it; no new reference is taken.
  INRVString* Interface() const { return Rep(); }

  String& Append(std::u16string_view text);
  String& Append(const String& text) { return Append(text.View()); }
  String& Append(const char16_t* text);
  String& Append(char16_t c) { return Append(std::u16string_view(&c, 1)); }
  String& operator+=(std::u16string_view text) { return Append(text); }
  String& operator+=(const String& text) { return Append(text); }
  String& operator+=(const char16_t* text) { return Append(text); }
  String& operator+=(char16_t c) { return Append(c); }

  // Replaces `count` characters at `position` by `text`. A position at or
  // beyond the end appends.
  void Replace(uint32_t position, uint32_t count, std::u16string_view text);
  // Removes the characters [from, to); to may run past the end.
  void Erase(uint32_t from, uint32_t to);
  // Lower-cases in place as the runtime's wide lower-casing does.
  void ToLowerInPlace();

  // Makes the string an empty, unique buffer for at least `length` characters
  // and returns its characters. The caller writes the text and then calls
  // SetLength.
  char16_t* PrepareEmptyBuffer(uint32_t length);
  // Sets the length after writing into the characters; capped at the capacity.
  void SetLength(uint32_t length);

  // The text converted to the thread's ANSI code page. Converted afresh on
  // every call; valid until the string is next changed or released.
  const char* Narrow();

  friend bool operator==(const String& a, const String& b) { return a.View() == b.View(); }
  friend bool operator==(const String& a, std::u16string_view b) { return a.View() == b; }
  friend bool operator==(const String& a, const char16_t* b) {
    return a.View() == std::u16string_view(b != nullptr ? b : u"");
  }

 private:
  explicit String(NRVString::StringRep* adopted) noexcept : chars_(adopted->Chars()) {}

  NRVString::StringRep* Rep() const { return NRVString::StringRep::FromChars(chars_); }
  void Adopt(NRVString::StringRep* rep);
  void MakeUnique();
  void Reallocate(uint64_t capacity);
  bool Overlaps(std::u16string_view text) const;

  char16_t* chars_;  // never null
};

}  // namespace NRV
