#pragma once
// The doubles read their devices from a text file named by an environment
// variable: one record a line, fields separated by tabs, '#' starts a comment
// line. The path may be a Windows path or a Unix path (taken on drive Z:).
#include <string>
#include <vector>

namespace doubles {

std::vector<std::vector<std::wstring>> ReadListFile(const wchar_t* environmentVariable);

// A log of the calls a double received, kept in the double and read by the
// tests through its TestDoubleLog export: one line per call.
class CallLog {
 public:
  void Add(const std::wstring& line);
  // Copies the log (lines ended by '\n') and clears it. Returns the length.
  unsigned Take(wchar_t* buffer, unsigned capacity);

 private:
  std::wstring text_;
};

}  // namespace doubles
