#include "csv_writer.h"

#include "number_text.h"
#include "output_files.h"

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

void CsvWriter::WriteHeader(const std::vector<std::pair<std::string, std::string>>& comments,
                            const std::vector<std::string>& columns, bool hasPeriod) {
  if (!file_) return;
  std::string header;
  for (const auto& [key, value] : comments) {
    std::string line = value;
    for (char& c : line) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    header += "# " + key + ": " + line + "\n";
  }
  header += hasPeriod ? "time_s" : "sample";
  for (const std::string& c : columns) header += "," + CsvField(c);
  header += ",gap\n";
  std::fwrite(header.data(), 1, header.size(), file_);
}

void CsvWriter::WriteRow(uint64_t n, int64_t periodUs, const std::vector<double>& values, int64_t gap) {
  if (!file_) return;
  row_ = periodUs > 0 ? FormatSampleTime(n, periodUs) : std::to_string(n);
  for (double v : values) {
    row_ += ',';
    row_ += FormatNumber(v);
  }
  row_ += ',';
  row_ += std::to_string(gap);
  row_ += '\n';
  std::fwrite(row_.data(), 1, row_.size(), file_);
}

bool CsvWriter::Close(std::string* error) {
  if (!file_) return true;
  std::FILE* f = file_;
  file_ = nullptr;
  if (f == stdout) {
    if (std::fflush(f) == 0 && !std::ferror(f)) return true;
    *error = "error writing the CSV to standard output: " + SystemReason();
    return false;
  }
  return CloseWritten(f, path_, error);
}

}  // namespace vozihost
