#include "csv_writer.h"

#include "number_text.h"

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

bool CsvWriter::Open(const std::filesystem::path& path, const std::vector<std::string>& columns,
                     std::string* error) {
  path_ = path;
  stream_.open(path, std::ios::binary | std::ios::trunc);
  if (!stream_) {
    if (error) *error = "cannot write " + path.string();
    return false;
  }
  std::string header = "time_s";
  for (const std::string& c : columns) header += "," + CsvField(c);
  stream_ << header << '\n';
  return true;
}

void CsvWriter::WriteRow(uint64_t n, int64_t periodUs, const std::vector<double>& values) {
  row_ = FormatSampleTime(n, periodUs);
  for (double v : values) {
    row_ += ',';
    row_ += FormatNumber(v);
  }
  row_ += '\n';
  stream_.write(row_.data(), static_cast<std::streamsize>(row_.size()));
}

bool CsvWriter::Close(std::string* error) {
  if (!stream_.is_open()) return true;
  stream_.flush();
  const bool ok = static_cast<bool>(stream_);
  stream_.close();
  if (!ok && error) *error = "error writing " + path_.string();
  return ok;
}

}  // namespace vozihost
