// How vozi-host calls the exports, against a fake library that records the
// calls and behaves as the enabler's interface describes.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "session/enabler_session.h"

namespace vozihost {
namespace {

struct Fake {
  int devicesLeft = 0;
  int32_t found = 0;
  int closeAllCalls = 0;
  std::vector<std::pair<int32_t, bool>> errorCalls;  // (index, destination given)
  std::string generalMessage;
  std::string ring;  // text waiting in the receive ring
  std::vector<int32_t> readMaxima;
  CommandRecord lastRecord{};
};
Fake g;

int32_t FakeFind(int32_t* index) {
  if (g.devicesLeft == 0) return 0;
  --g.devicesLeft;
  *index = g.found++;
  return 1;
}
int32_t FakeCloseAll() {
  ++g.closeAllCalls;
  return 1;
}
int32_t FakeLastError(int32_t index, char* destination) {
  g.errorCalls.emplace_back(index, destination != nullptr);
  if (index != -1) return index < g.found ? 1 : 0;  // no text per device
  if (destination) std::memcpy(destination, g.generalMessage.c_str(), g.generalMessage.size() + 1);
  return static_cast<int32_t>(g.generalMessage.size()) + 1;
}
// The ring's ReadLine: waits for a CR or LF, then hands out at most
// maximum - 1 bytes, consuming the terminator only when it gets to it.
int32_t FakeReadLine(int32_t, char* destination, int32_t maximum, uint32_t) {
  g.readMaxima.push_back(maximum);
  if (g.ring.find_first_of("\r\n") == std::string::npos) return 0;
  int32_t n = 0;
  size_t used = 0;
  while (n < maximum - 1) {  // a full buffer leaves the rest, terminator included
    const char c = g.ring[used++];
    if (c == '\n' || c == '\r') break;
    destination[n++] = c;
  }
  g.ring.erase(0, used);
  destination[n] = '\0';
  return 1;
}
int32_t FakeCommand(int32_t, int32_t code, CommandRecord* r) {
  g.lastRecord = *r;
  switch (code) {
    case VOZI_GET_CHANNEL_MINIMUM:
      if (r->argument < 2) r->value = -5.0f;  // two entries in the list
      return 1;
    case VOZI_GET_CHANNEL_NAME:
      if (r->argument < 2) std::strcpy(r->reply, "ECG");
      return 1;
    case VOZI_GET_LAST_CHANNEL:
      r->count = 1;
      return 1;
    default:
      std::strcpy(r->reply, "^Unsupported SDA command");
      return 0;
  }
}

class EnablerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Fake{};
    api.FindDevice = FakeFind;
    api.CloseAll = FakeCloseAll;
    api.GetLastErrorMsg = FakeLastError;
    api.ReadLine = FakeReadLine;
    api.DeviceCommand = FakeCommand;
  }
  EnablerApi api;
};

TEST_F(EnablerSessionTest, DiscoveryRunsToTheFirstZeroAndCloseAllIsOwedOnce) {
  g.devicesLeft = 3;
  {
    EnablerSession s(api);
    EXPECT_EQ(s.FindDevices(), (std::vector<int32_t>{0, 1, 2}));
    s.CloseAll();
  }
  EXPECT_EQ(g.closeAllCalls, 1);  // not again from the destructor
  { EnablerSession unused(api); }
  EXPECT_EQ(g.closeAllCalls, 1);  // nothing found, nothing to close
  {
    EnablerSession s(api);
    s.FindDevices();
  }
  EXPECT_EQ(g.closeAllCalls, 2);  // an early return still closes
}

TEST_F(EnablerSessionTest, MessageIsFetchedAsAHostDoesSizeFirst) {
  g.generalMessage = "The Vozi Device is not responding or powered off.";
  EnablerSession s(api);
  EXPECT_EQ(s.LastErrorMessage(-1), g.generalMessage);
  ASSERT_EQ(g.errorCalls.size(), 2u);
  EXPECT_EQ(g.errorCalls[0], (std::pair<int32_t, bool>{-1, false}));
  EXPECT_EQ(g.errorCalls[1], (std::pair<int32_t, bool>{-1, true}));
}

TEST_F(EnablerSessionTest, DeviceFailureFallsBackToTheGeneralMessageOnlyForTheLastDevice) {
  g.generalMessage = "A Vozi Device is connected, but can't be used due";
  g.devicesLeft = 2;
  EnablerSession s(api);
  s.FindDevices();
  EXPECT_EQ(s.FailureMessage(1, 1), g.generalMessage);
  // The device's own (empty) message was fetched first, with a buffer too.
  EXPECT_EQ(g.errorCalls[0], (std::pair<int32_t, bool>{1, false}));
  EXPECT_EQ(g.errorCalls[1], (std::pair<int32_t, bool>{1, true}));
  const std::string other = s.FailureMessage(0, 1);
  EXPECT_EQ(other.find("can't be used"), std::string::npos) << "message about another device";
  EXPECT_NE(other.find("device 1"), std::string::npos);
}

TEST(StartFailureReason, TheLibrarysMessageDecidesOnlyForTheInstrumentItDescribes) {
  const std::string firmware = "A Vozi Device is connected, but can't be used due\nto wrong firmware version.";
  // Described: the message wins over the time taken.
  EXPECT_EQ(StartFailureReason(true, firmware, 16.0).rfind("its firmware was refused; --trace FILE", 0), 0u);
  EXPECT_EQ(StartFailureReason(true, "The Vozi Device is not responding or powered off.", 2.0)
                .rfind("its port could not be opened", 0),
            0u);
  // Another instrument: the message is about the wrong one; the time tells.
  EXPECT_EQ(StartFailureReason(false, firmware, 16.0).rfind("it did not answer within 16 s", 0), 0u);
  EXPECT_EQ(StartFailureReason(false, firmware, 0.01).rfind("it failed before it could answer", 0), 0u);
}

TEST_F(EnablerSessionTest, LongLinesAreJoinedFromTheirPieces) {
  const std::string longLine = "@ " + std::string(2500, '7');
  const std::string exact(1023, 'x');  // fills the buffer exactly: an empty piece follows
  g.ring = longLine + "\n" + exact + "\n@ 1,2\n";
  EnablerSession s(api);
  std::string line;
  ASSERT_TRUE(s.ReadLine(0, line, 10));
  EXPECT_EQ(line, longLine);
  ASSERT_TRUE(s.ReadLine(0, line, 10));
  EXPECT_EQ(line, exact);
  ASSERT_TRUE(s.ReadLine(0, line, 10));
  EXPECT_EQ(line, "@ 1,2");
  EXPECT_FALSE(s.ReadLine(0, line, 10));  // nothing complete is held
  for (int32_t m : g.readMaxima) EXPECT_EQ(m, 1024);
}

TEST_F(EnablerSessionTest, CommandRepliesLeftAloneReadAsAbsent) {
  EnablerSession s(api);
  auto r = s.Command(0, VOZI_GET_CHANNEL_MINIMUM, 1);
  EXPECT_TRUE(r.ok);
  ASSERT_TRUE(r.value);
  EXPECT_EQ(*r.value, -5.0f);
  r = s.Command(0, VOZI_GET_CHANNEL_MINIMUM, 2);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.value) << "a value the library did not write must not read as a range";
  r = s.Command(0, VOZI_GET_CHANNEL_NAME, 5);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(g.lastRecord.argument, 5);
  EXPECT_GT(g.lastRecord.replySize, 0);
  r = s.Command(0, static_cast<VoziCommand>(60));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "^Unsupported SDA command");
  EXPECT_EQ(s.Command(0, VOZI_GET_LAST_CHANNEL).count, 1);
}

TEST(Utf16Text, ConvertsTheClassNamesAndBrokenSurrogates) {
  const uint16_t vozi[] = {'V', 'o', 'z', 'i', 0};
  EXPECT_EQ(Utf8FromUtf16(vozi), "Vozi");
  const uint16_t mixed[] = {0xB5, 0x20AC, 0xD83D, 0xDE00, 0xD800, 'x', 0};
  EXPECT_EQ(Utf8FromUtf16(mixed), "\xC2\xB5\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDx");
  EXPECT_EQ(Utf8FromUtf16(nullptr), "");
}

}  // namespace
}  // namespace vozihost
