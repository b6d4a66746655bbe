#pragma once
// The samples of one instrument as CSV. A few comment lines ("# key: value")
// describe the recording; then the header "time_s", one "name (units)"
// column per channel and "gap"; then one row per sample. The gap column is
// the number of samples lost just before the row (0: none, -1: some, number
// unknown). Readers skip the comments (pandas: comment='#').
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vozihost {

class CsvWriter {
 public:
  CsvWriter() = default;
  ~CsvWriter();
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;

  // Creates (or truncates) the file; "-" is standard output.
  bool Open(const std::filesystem::path& path, std::string* error);
  // The comment lines (key, value), then the column header. Without a
  // period the first column counts samples ("sample") instead of time.
  void WriteHeader(const std::vector<std::pair<std::string, std::string>>& comments,
                   const std::vector<std::string>& columns, bool hasPeriod);
  // Sample n (lost samples counted in) of a stream at periodUs (0: unknown).
  void WriteRow(uint64_t n, int64_t periodUs, const std::vector<double>& values, int64_t gap);
  // One more comment line ("# key: value") among the rows.
  void WriteComment(const std::string& key, const std::string& value);
  // Flushes and reports any write error since Open (a full disk shows here).
  // Standard output whose reader went away is no error: see ReaderGone.
  bool Close(std::string* error);

  bool IsOpen() const { return file_ != nullptr; }
  // Standard output was a pipe whose reader went away (`| head`): the rows
  // since then went nowhere, and further ones are not written.
  bool ReaderGone() const { return readerGone_; }

 private:
  std::filesystem::path path_;
  void Put(const std::string& text);

  std::FILE* file_ = nullptr;
  bool readerGone_ = false;
  std::string row_;
};

// A header field: quoted when it holds a comma, a quote or a line end, with
// inner quotes doubled (RFC 4180).
std::string CsvField(std::string_view text);

}  // namespace vozihost
