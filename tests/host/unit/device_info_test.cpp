// Replies of the device commands as vozi-host reads them, and its own names
// for periods and output files.
#include <gtest/gtest.h>

#include "session/device_info.h"
#include "commands/tool_paths.h"

namespace vozihost {
namespace {

TEST(PeriodList, ReadsTheLibrarysReply) {
  EXPECT_EQ(ParsePeriodList("1000000,100000,10000,5000,2000,1000"),
            (std::vector<int32_t>{1000000, 100000, 10000, 5000, 2000, 1000}));
  EXPECT_EQ(ParsePeriodList(""), std::vector<int32_t>{});
  EXPECT_EQ(ParsePeriodList("250"), std::vector<int32_t>{250});
  // A period the instrument sent as text that is not a number arrives as
  // the lowest 32-bit value; it is listed (the instrument offers it) ...
  EXPECT_EQ(ParsePeriodList("-2147483648,1000"), (std::vector<int32_t>{INT32_MIN, 1000}));
  // ... but fields that are not whole numbers are not.
  EXPECT_EQ(ParsePeriodList("1000,x,,2.5,3000"), (std::vector<int32_t>{1000, 3000}));
}

TEST(PeriodText, UsesTheLargestWholeUnit) {
  EXPECT_EQ(FormatPeriod(1000000), "1 s");
  EXPECT_EQ(FormatPeriod(1000), "1 ms");
  EXPECT_EQ(FormatPeriod(1500), "1.5 ms");
  EXPECT_EQ(FormatPeriod(250), "250 us");
  EXPECT_EQ(FormatPeriod(2500000), "2.5 s");
  EXPECT_EQ(FormatPeriod(1234567), "1.234 s");
  EXPECT_EQ(FormatPeriod(0), "0 us");
}

TEST(ToolPaths, SeveralDevicesGetTheirIndexBeforeTheExtension) {
  EXPECT_EQ(PerDevicePath("out/samples.csv", 0, false), "out/samples.csv");
  EXPECT_EQ(PerDevicePath("out/samples.csv", 0, true), "out/samples-0.csv");
  EXPECT_EQ(PerDevicePath("out/samples.svg", 12, true), "out/samples-12.svg");
  EXPECT_EQ(PerDevicePath("samples", 1, true), "samples-1");
  EXPECT_EQ(PerDevicePath("a.b/run.tar.csv", 2, true), "a.b/run.tar-2.csv");
  EXPECT_EQ(PerDevicePath("", 1, true), "");  // no file wanted stays none
}

TEST(ToolPaths, LooksBesideTheToolThenInstallThenBuildTree) {
  const auto c = LibraryCandidates("/opt/vozi/bin");
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0], std::filesystem::path("/opt/vozi/bin") / LibraryFileName());
  EXPECT_EQ(c[1].lexically_normal(), std::filesystem::path("/opt/vozi/lib") / LibraryFileName());
  EXPECT_EQ(c[2].lexically_normal(), std::filesystem::path("/opt") / LibraryFileName());
  // None exists: the first is named, so the error points where it belongs.
  EXPECT_EQ(FirstExisting(c), c[0]);
  const auto here = std::filesystem::temp_directory_path();
  EXPECT_EQ(FirstExisting({here / "no-such-file", here}), (here / "no-such-file").lexically_normal())
      << "a folder is not a library";
}

}  // namespace
}  // namespace vozihost
