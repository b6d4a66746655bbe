// What the recorder accepts from a broker: batches and infos of both
// formats, refused where their checks fail; and a format-1 stream, tied to
// its info by arrival order only, ending where positions begin again at 0.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "record/remote_messages.h"
#include "record/stream_recorder.h"

namespace vozihost {
namespace {

std::string Batch(uint16_t format, uint16_t channels, uint32_t count, uint64_t first, size_t valueBytes) {
  std::string b(format == 1 ? 24 : 32, '\0');
  const auto put = [&](size_t at, uint64_t v, size_t bytes) {
    for (size_t k = 0; k < bytes; ++k) b[at + k] = static_cast<char>(v >> (8 * k));
  };
  put(0, format, 2);
  put(2, channels, 2);
  put(4, count, 4);
  put(8, first, 8);
  if (format == 2) put(24, 1796727257640123ULL, 8);
  for (size_t k = 0; k < valueBytes / 4; ++k) {
    const float v = static_cast<float>(first + k / channels);
    char bytes[4];
    std::memcpy(bytes, &v, 4);
    b.append(bytes, 4);
  }
  return b;
}

TEST(RecordBatch, BothFormatsAreReadAndAnythingElseIsRefused) {
  struct Case {
    const char* what;
    std::string payload;
    bool accepted;
  };
  const Case cases[] = {
      {"format 2", Batch(2, 3, 4, 7, 48), true},
      {"format 1", Batch(1, 3, 4, 7, 48), true},
      {"format 3", Batch(3, 3, 4, 7, 48), false},
      {"a value short", Batch(2, 3, 4, 7, 44), false},
      {"a value over", Batch(2, 3, 4, 7, 52), false},
      {"no samples", Batch(2, 3, 0, 7, 0), false},
      {"count overflowing 32 bits when multiplied", Batch(2, 65535, 0xffffffffu, 0, 8), false},
      {"a header cut short", Batch(2, 3, 4, 7, 48).substr(0, 20), false},
      {"an impossible position", Batch(2, 1, 1, ~0ull, 4), false},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto b = ParseBatch(c.payload, &why);
    EXPECT_EQ(b.has_value(), c.accepted) << c.what << ": " << why;
    if (b) {
      EXPECT_EQ(b->first, 7u);
      EXPECT_EQ(b->values.size(), 12u);
      EXPECT_EQ(b->values[11], 10.0f) << c.what;
      EXPECT_EQ(b->streamUs.has_value(), b->format == 2) << c.what;
    } else {
      EXPECT_FALSE(why.empty()) << c.what;
    }
  }
}

std::string Info(const std::string& fields) {
  return R"({"format":1,"model":"VZ-8","description":"T","period_us":1000,"started":"2026-12-08T10:00:00.250Z",)"
         R"("channels":[{"index":1,"name":"ECG","units":"mV","min":-5,"max":5}])" +
         fields + "}";
}

TEST(RecordInfo, EveryFieldUsedIsChecked) {
  struct Case {
    const char* what;
    std::string payload;
    bool accepted;
  };
  const Case cases[] = {
      {"format 1, its start from the text", Info(""), true},
      {"format 2 without started_us", Info(R"(,"format":2)"), false},
      {"format 9", Info(R"(,"format":9)"), false},
      {"a unique id as a number", Info(R"(,"unique_id":42)"), false},
      {"a period of 0", Info(R"(,"period_us":0)"), false},
      {"a range of one end",
       R"({"format":1,"started":"2026-12-08T10:00:00.250Z","channels":[{"index":1,"name":"a","units":"","min":1}]})",
       false},
      {"no channels", R"({"format":1,"started":"2026-12-08T10:00:00.250Z","channels":[]})", false},
      {"nested 16 deep, ignored", Info(R"(,"x":)" + std::string(15, '[') + std::string(15, ']')), true},
      {"nested 17 deep", Info(R"(,"x":)" + std::string(16, '[') + std::string(16, ']')), false},
      {"brackets inside a string do not nest", Info(R"(,"x":")" + std::string(40, '[') + "\""), true},
      {"a start that is no UTC time", Info(R"(,"started":"yesterday")"), false},
  };
  for (const Case& c : cases) {
    std::string why;
    const auto info = ParseInfo(c.payload, &why);
    EXPECT_EQ(info.has_value(), c.accepted) << c.what << ": " << why;
    if (info) {
      EXPECT_EQ(info->startedUs, 1796724000250000) << c.what;
    }
  }
}

TEST(RecordFormat1, PositionsBeginningAgainStartANewFile) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("vozi_record_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(folder);
  RecordSettings settings;
  settings.folder = folder;
  settings.csv = true;
  settings.edf = false;
  settings.hold = std::chrono::milliseconds(0);
  RecordCounters counters;
  std::vector<StreamRecord> done;
  {
    InstrumentRecorder r("7", settings, counters);
    const auto now = RecordClock::now();
    r.Info("vozi/7/info", Info(""), now);
    r.Samples("vozi/7/samples", Batch(1, 1, 10, 0, 40), now);
    r.Samples("vozi/7/samples", Batch(1, 1, 5, 12, 20), now);   // 10 and 11 lost
    r.Samples("vozi/7/samples", Batch(1, 2, 5, 17, 40), now);   // two channels where the info has one
    r.Tick(now);
    r.Samples("vozi/7/samples", Batch(1, 1, 3, 0, 12), now);    // a new stream
    r.Tick(now);
    r.Finish("the recording ended");
    done = r.TakeFinished();
  }
  std::filesystem::remove_all(folder);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].samples, 15u);
  EXPECT_EQ(done[0].gaps, 1u);
  EXPECT_EQ(done[0].missing, 2u);
  EXPECT_EQ(done[0].end, "positions began again at 0");
  EXPECT_EQ(done[1].samples, 3u);
  EXPECT_NE(done[0].files.at(0).second, done[1].files.at(0).second);
  EXPECT_EQ(counters.malformed, 1u);
}

}  // namespace
}  // namespace vozihost
