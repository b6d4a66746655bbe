#include "list_file.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

namespace doubles {
namespace {

std::wstring Environment(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  if (length == 0 || length >= 1024) return {};
  return std::wstring(value, length);
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find(L'\t', start);
    fields.push_back(line.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

std::vector<std::vector<std::wstring>> ReadListFile(const wchar_t* environmentVariable) {
  std::vector<std::vector<std::wstring>> records;
  std::wstring path = Environment(environmentVariable);
  if (path.empty()) return records;
  if (path[0] == L'/') path = L"Z:" + path;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return records;
  std::string bytes;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  fclose(file);
  // The file is UTF-8.
  std::wstring text(bytes.size(), L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                        text.data(), static_cast<int>(text.size()));
  text.resize(units > 0 ? static_cast<size_t>(units) : 0);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (!line.empty() && line[0] != L'#') records.push_back(SplitTabs(line));
    start = end + 1;
  }
  return records;
}

void CallLog::Add(const std::wstring& line) { text_ += line + L"\n"; }

unsigned CallLog::Take(wchar_t* buffer, unsigned capacity) {
  const unsigned length = static_cast<unsigned>(text_.size());
  if (buffer && capacity > length) {
    text_.copy(buffer, length);
    buffer[length] = L'\0';
    text_.clear();
  }
  return length;
}

}  // namespace doubles
