#include "outputs/csv_writer.h"

#include <cerrno>

#include "outputs/number_text.h"
#include "outputs/output_files.h"

namespace vozihost {

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

CsvWriter::~CsvWriter() {
  std::string ignored;
  Close(&ignored);
}

bool CsvWriter::Open(const std::filesystem::path& path, std::string* error) {
  path_ = path;
  file_ = IsStdout(path) ? stdout : OpenForWriting(path, error);
  return file_ != nullptr;
}

// A write to a pipe nobody reads fails with EPIPE (SIGPIPE is ignored, so
// that a simulator's pipe cannot end the tool); the writes that fail for
// other reasons (a full disk) are reported by Close.
void CsvWriter::Put(const std::string& text) {
  if (!file_ || readerGone_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() && file_ == stdout && errno == EPIPE) {
    readerGone_ = true;
  }
}

static std::string CommentLine(const std::string& key, std::string value) {
  for (char& c : value) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return "# " + key + ": " + value + "\n";
}

void CsvWriter::WriteComment(const std::string& key, const std::string& value) { Put(CommentLine(key, value)); }

void CsvWriter::WriteHeader(const std::vector<std::pair<std::string, std::string>>& comments,
                            const std::vector<std::string>& columns, bool hasPeriod) {
  std::string header;
  for (const auto& [key, value] : comments) header += CommentLine(key, value);
  header += hasPeriod ? "time_s" : "sample";
  for (const std::string& c : columns) header += "," + CsvField(c);
  header += ",gap\n";
  Put(header);
}

void CsvWriter::WriteRow(uint64_t n, int64_t periodUs, const std::vector<double>& values, int64_t gap) {
  if (!file_ || readerGone_) return;
  row_ = periodUs > 0 ? FormatSampleTime(n, periodUs) : std::to_string(n);
  for (double v : values) {
    row_ += ',';
    row_ += FormatNumber(v);
  }
  row_ += ',';
  row_ += std::to_string(gap);
  row_ += '\n';
  Put(row_);
}

bool CsvWriter::Close(std::string* error) {
  if (!file_) return true;
  std::FILE* f = file_;
  file_ = nullptr;
  if (f == stdout) {
    if (readerGone_ || (std::fflush(f) == 0 && !std::ferror(f))) return true;
    if (errno == EPIPE) {
      readerGone_ = true;
      return true;
    }
    *error = "error writing the CSV to standard output: " + SystemReason();
    return false;
  }
  return CloseWritten(f, path_, error);
}

}  // namespace vozihost
