#pragma once
// The samples of one instrument as CSV: a header "time_s" then one
// "name (units)" column per channel, then one row per sample.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace vozihost {

class CsvWriter {
 public:
  // Creates (or truncates) the file and writes the header.
  bool Open(const std::filesystem::path& path, const std::vector<std::string>& columns,
            std::string* error);
  // Sample n of a stream at periodUs: its time, then the values.
  void WriteRow(uint64_t n, int64_t periodUs, const std::vector<double>& values);
  // Flushes and reports any write error since Open (a full disk shows here).
  bool Close(std::string* error);

  bool IsOpen() const { return stream_.is_open(); }

 private:
  std::filesystem::path path_;
  std::ofstream stream_;
  std::string row_;
};

// A header field: quoted when it holds a comma, a quote or a line end, with
// inner quotes doubled (RFC 4180).
std::string CsvField(std::string_view text);

}  // namespace vozihost
