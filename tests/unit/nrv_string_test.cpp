// NRV::String as a value: sharing, copy-on-write, the capacity rules the host
// relies on, the editing operations and conversions from narrow text.
#include "text/nrv_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "text/xmsg.h"

namespace {

using NRV::String;

const INRVString* SharedEmptyRep() { return String().Interface(); }

TEST(NrvStringEmpty, EveryEmptyTextIsTheSharedRepresentation) {
  const String fromDefault;
  const String fromEmptyWide(u"");
  const String fromNullWide(static_cast<const char16_t*>(nullptr));
  const String fromNullNarrow(static_cast<const char*>(nullptr));
  const String fromEmptyNarrow("");
  const String fromZeroCount("abc", 0);
  for (const String* s :
       {&fromDefault, &fromEmptyWide, &fromNullWide, &fromNullNarrow, &fromEmptyNarrow,
        &fromZeroCount}) {
    EXPECT_EQ(s->Interface(), SharedEmptyRep());
    EXPECT_EQ(s->Capacity(), 9u);
    EXPECT_EQ(s->Length(), 0u);
    EXPECT_EQ(s->Chars()[0], u'\0');
    EXPECT_TRUE(s->IsShared());  // its own reference keeps it shared
  }
}

TEST(NrvStringEmpty, AppendingToAnEmptyStringLeavesTheSharedOneAlone) {
  for (String s : {String(), String(static_cast<const char16_t*>(nullptr))}) {
    s.Append(u'x');
    EXPECT_NE(s.Interface(), SharedEmptyRep());
    EXPECT_EQ(s.Capacity(), 9u);  // copied from the shared one, capacity 9
    EXPECT_EQ(s, u"x");
  }
  EXPECT_EQ(String().Length(), 0u);
  EXPECT_EQ(String().Chars()[0], u'\0');
  EXPECT_EQ(String().Capacity(), 9u);
}

TEST(NrvStringCapacity, NewTextsGetCountOrEightUnits) {
  EXPECT_EQ(String(u"abc").Capacity(), 8u);
  EXPECT_EQ(String(u"1234567").Capacity(), 8u);  // count 8
  EXPECT_EQ(String(u"12345678").Capacity(), 9u);
  EXPECT_EQ(String(std::u16string(100, u'a')).Capacity(), 101u);
}

TEST(NrvStringCapacity, GrowthIsOneAndAHalfTimesTheNewCount) {
  String seven(u"1234567");  // count 8, capacity 8
  seven.Append(u'8');        // count 9 exceeds 8
  EXPECT_EQ(seven.Capacity(), 13u);
  EXPECT_EQ(seven, u"12345678");

  String eight(u"12345678");  // count 9, capacity 9
  eight.Append(u'9');         // count 10
  EXPECT_EQ(eight.Capacity(), 15u);

  String fits(u"12345");  // count 6, capacity 8: room for two more
  fits.Append(u"67");
  EXPECT_EQ(fits.Capacity(), 8u);
  EXPECT_EQ(fits, u"1234567");
}

TEST(NrvStringSharing, CopiesShareUntilOneChanges) {
  String original(u"hello");
  String copy = original;
  EXPECT_EQ(copy.Interface(), original.Interface());
  EXPECT_TRUE(original.IsShared());

  copy.Append(u" world");
  EXPECT_EQ(original, u"hello");
  EXPECT_EQ(copy, u"hello world");
  EXPECT_FALSE(original.IsShared());
  EXPECT_FALSE(copy.IsShared());
}

TEST(NrvStringSharing, EveryEditOfACopyLeavesTheOriginalAlone) {
  const String original(u"Hello World");
  const auto check = [&](auto edit) {
    String copy = original;
    edit(copy);
    EXPECT_EQ(original, u"Hello World");
  };
  check([](String& s) { s.Erase(0, 6); });
  check([](String& s) { s.Replace(0, 5, u"Howdy"); });
  check([](String& s) { s.ToLowerInPlace(); });
  check([](String& s) { s.PrepareEmptyBuffer(4); });
  check([](String& s) { s.Narrow(); });
  check([](String& s) { s.Append(u'!'); });
}

TEST(NrvStringSharing, PrivateCopyKeepsTheSourceCapacity) {
  String grown(u"1234567");
  grown.Append(u'8');  // capacity 13
  String copy = grown;
  copy.Erase(0, 1);
  EXPECT_EQ(copy.Capacity(), 13u);
  EXPECT_EQ(copy, u"2345678");
}

TEST(NrvStringSharing, AssignmentToItselfOrToAnAliasIsSafe) {
  String s(u"only owner");
  const String& alias = s;
  s = alias;
  EXPECT_EQ(s, u"only owner");
  EXPECT_FALSE(s.IsShared());

  String moved(u"moved");
  String target;
  target = std::move(moved);
  EXPECT_EQ(target, u"moved");
  String constructed(std::move(target));
  EXPECT_EQ(constructed, u"moved");
  EXPECT_EQ(target.Chars()[target.Length()], u'\0');  // still a valid string
}

TEST(NrvStringEdit, AppendingItsOwnTextWhileGrowing) {
  String s(u"abcdefg");  // full: the append must reallocate under its source
  s.Append(s);
  EXPECT_EQ(s, u"abcdefgabcdefg");
  s.Append(s.View().substr(3, 2));
  EXPECT_EQ(s, u"abcdefgabcdefgde");
}

TEST(NrvStringErase, Ranges) {
  struct Case {
    uint32_t from, to;
    const char16_t* expected;
  };
  for (const Case& c : {Case{2, 4, u"abef"}, Case{0, 6, u""}, Case{3, 100, u"abc"},
                        Case{4, 4, u"abcdef"}, Case{5, 2, u"abcdef"}, Case{6, 9, u"abcdef"},
                        Case{9, 12, u"abcdef"}, Case{0, 1, u"bcdef"}, Case{5, 6, u"abcde"}}) {
    String s(u"abcdef");
    s.Erase(c.from, c.to);
    EXPECT_EQ(s, c.expected) << "erase [" << c.from << ", " << c.to << ")";
    EXPECT_EQ(s.Chars()[s.Length()], u'\0');
  }
}

TEST(NrvStringReplace, RangesAndTheExactReallocation) {
  String s(u"abcdefg");  // capacity 8
  s.Replace(1, 1, u"XYZ");
  EXPECT_EQ(s, u"aXYZcdefg");
  EXPECT_EQ(s.Capacity(), 10u);  // exactly the new count, no growth factor

  String atEnd(u"abc");
  atEnd.Replace(3, 5, u"def");
  EXPECT_EQ(atEnd, u"abcdef");

  String pastEnd(u"abc");
  pastEnd.Replace(7, 1, u"!");
  EXPECT_EQ(pastEnd, u"abc!");

  String shorter(u"abcdef");
  shorter.Replace(1, 4, u"-");
  EXPECT_EQ(shorter, u"a-f");

  String tooMany(u"abcdef");
  tooMany.Replace(4, 100, u"XY");
  EXPECT_EQ(tooMany, u"abcdXY");

  String removeOnly(u"abcdef");
  removeOnly.Replace(2, 2, u"");
  EXPECT_EQ(removeOnly, u"abef");

  String withItself(u"abcdef");
  withItself.Replace(0, 1, withItself.View());
  EXPECT_EQ(withItself, u"abcdefbcdef");
}

TEST(NrvStringLowerCase, OnlyAsciiLettersLikeTheClassicLocale) {
  String s(u"MiXeD 123 \u00C4\u0130Z");
  s.ToLowerInPlace();
  EXPECT_EQ(s, u"mixed 123 \u00C4\u0130z");
}

TEST(NrvStringBuffer, ReusesAUniqueBigEnoughRepresentation) {
  String s(std::u16string(20, u'x'));
  s.Narrow();
  const char16_t* before = s.Chars();
  char16_t* buffer = s.PrepareEmptyBuffer(10);
  EXPECT_EQ(buffer, before);
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_EQ(buffer[0], u'\0');
  EXPECT_EQ(buffer[10], u'\0');
  std::memcpy(buffer, u"filled", 6 * sizeof(char16_t));
  s.SetLength(6);
  EXPECT_EQ(s, u"filled");
}

TEST(NrvStringBuffer, SharedOrSmallRepresentationIsReplaced) {
  String shared(u"shared text");
  const String keep = shared;
  char16_t* buffer = shared.PrepareEmptyBuffer(3);
  EXPECT_NE(shared.Interface(), keep.Interface());
  EXPECT_EQ(shared.Capacity(), 8u);  // max(n + 1, 8)
  EXPECT_EQ(buffer[3], u'\0');
  EXPECT_EQ(keep, u"shared text");

  String small(u"ab");
  small.PrepareEmptyBuffer(40);
  EXPECT_EQ(small.Capacity(), 41u);
  small.SetLength(500);  // capped at the capacity
  EXPECT_EQ(small.Length(), 40u);
  EXPECT_EQ(small.Chars()[40], u'\0');
}

TEST(NrvStringNarrow, ThreadAnsiCodePageAndFreshOnEveryCall) {
  String s(u"caf\u00E9 \u20AC");
  EXPECT_STREQ(s.Narrow(), "caf\xE9 \x80");
  s.Append(u"\u0100");  // not in the code page
  EXPECT_STREQ(s.Narrow(), "caf\xE9 \x80?");
  String empty;
  EXPECT_STREQ(empty.Narrow(), "");
  EXPECT_EQ(String().Length(), 0u);
}

TEST(NrvStringFromNarrow, AnsiCodePageAndByteCounts) {
  EXPECT_EQ(String("\x80 \xE9"), u"\u20AC \u00E9");
  EXPECT_EQ(String("abcdef", 3), u"abc");
  EXPECT_EQ(String("abc\0def", 7), u"abc");
  const char noTerminator[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(String(noTerminator, 4), u"wxyz");
  EXPECT_EQ(String(noTerminator, 4).Capacity(), 8u);
}

TEST(NrvStringFromNarrow, NegativeByteCountRaisesXmsg) {
  try {
    String s("abc", -1);
    FAIL() << "no exception";
  } catch (const xmsg& e) {
    EXPECT_STREQ(e.what(), "NRV::String size too big");
  }
}

TEST(NrvStringFromInterface, SharesOursAndCopiesForeignTexts) {
  const String ours(u"ours");
  const String shared = String::FromInterface(ours.Interface());
  EXPECT_EQ(shared.Interface(), ours.Interface());
  EXPECT_EQ(String::FromInterface(nullptr).Interface(), SharedEmptyRep());
}

// Copies and releases of one representation from two threads: the reference
// count must end exactly where it started (also run under ThreadSanitizer).
TEST(NrvStringThreads, ConcurrentCopiesAndReleasesOfASharedString) {
  const String source(u"shared between threads");
  const auto work = [&source] {
    for (int i = 0; i < 20000; ++i) {
      String copy = source;
      String second;
      second = copy;
      if (i % 64 == 0) {
        second.Append(u'!');
        EXPECT_STREQ(second.Narrow(), "shared between threads!");
      }
      String moved(std::move(copy));
    }
  };
  std::thread first(work);
  std::thread other(work);
  first.join();
  other.join();
  EXPECT_FALSE(source.IsShared());
  EXPECT_EQ(source, u"shared between threads");
}

TEST(NrvStringThreads, EmptyStringsFromTwoThreads) {
  const auto work = [] {
    for (int i = 0; i < 20000; ++i) {
      String a;
      String b(u"");
      a.Append(u'x');
      EXPECT_EQ(b.Interface(), String().Interface());
    }
  };
  std::thread first(work);
  std::thread other(work);
  first.join();
  other.join();
  EXPECT_EQ(String().Length(), 0u);
}

}  // namespace
