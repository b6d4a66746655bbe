// The CSV file: exact bytes of header and rows, and errors that surface.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "outputs/csv_writer.h"
#include "outputs/number_text.h"

namespace vozihost {
namespace {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::filesystem::path TempFile(const char* name) {
  return std::filesystem::temp_directory_path() /
         (std::string("vozi_host_test_") + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + name);
}

TEST(SampleTime, IsExactForAnyRunLength) {
  EXPECT_EQ(FormatSampleTime(0, 1000), "0.000000");
  EXPECT_EQ(FormatSampleTime(3, 1000), "0.003000");
  EXPECT_EQ(FormatSampleTime(1234567, 1000), "1234.567000");
  EXPECT_EQ(FormatSampleTime(7, 250), "0.001750");
  // A week at 1 kHz: a double accumulating 0.001 would be visibly off here.
  EXPECT_EQ(FormatSampleTime(604800000ULL + 1, 1000), "604800.001000");
  EXPECT_EQ(FormatSampleTime(5, 1000000), "5.000000");
}

TEST(NumberText, SevenSignificantDigitsAndAPoint) {
  EXPECT_EQ(FormatNumber(0.0), "0");
  EXPECT_EQ(FormatNumber(12345.000000000002), "12345");
  EXPECT_EQ(FormatNumber(4.99984740745262), "4.999847");
  EXPECT_EQ(FormatNumber(-5.0), "-5");
  EXPECT_EQ(FormatNumber(0.000152592547), "0.0001525925");
  EXPECT_EQ(FormatNumber(32767.0), "32767");
}

TEST(CsvWriter, HeaderQuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvField("ECG (mV)"), "ECG (mV)");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
}

TEST(CsvWriter, WritesHeaderAndRowsByteForByte) {
  const auto path = TempFile("rows.csv");
  CsvWriter csv;
  std::string error;
  ASSERT_TRUE(csv.Open(path, &error)) << error;
  // A comment value with a line end must not end the comment early.
  csv.WriteHeader({{"instrument", "VZ-8\n12105A"}}, {"ECG (mV)", "Pulse, avg (bpm)"}, true);
  csv.WriteRow(0, 10000, {-5.0, 62.5}, 0);
  csv.WriteRow(3, 10000, {0.000152592547, 250.0}, 2);
  ASSERT_TRUE(csv.Close(&error)) << error;
  EXPECT_EQ(ReadAll(path),
            "# instrument: VZ-8 12105A\n"
            "time_s,ECG (mV),\"Pulse, avg (bpm)\",gap\n"
            "0.000000,-5,62.5,0\n"
            "0.030000,0.0001525925,250,2\n");
  std::filesystem::remove(path);
}

TEST(CsvWriter, UnwritableFileFailsAtOpen) {
  CsvWriter csv;
  std::string error;
  // A file where a folder would have to be: no folder can be made there.
  EXPECT_FALSE(csv.Open("/dev/null/x.csv", &error));
  EXPECT_NE(error.find("/dev/null"), std::string::npos) << error;
  EXPECT_NE(error.find("Not a directory"), std::string::npos) << error;
}

TEST(CsvWriter, FullDiskIsReportedAtClose) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CsvWriter csv;
  std::string error;
  ASSERT_TRUE(csv.Open("/dev/full", &error));
  for (int n = 0; n < 20000; ++n) csv.WriteRow(n, 1000, {1.0}, 0);
  EXPECT_FALSE(csv.Close(&error));
  EXPECT_NE(error.find("error writing"), std::string::npos);
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
}

}  // namespace
}  // namespace vozihost
