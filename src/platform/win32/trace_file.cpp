// The trace file on Windows: the variable read with the wide API and the file
// opened by its UTF-16 name with append-only access (FILE_APPEND_DATA without
// FILE_WRITE_DATA), so that every WriteFile lands at the file's end as one
// piece. Everyone may read, write or delete it meanwhile: the trace must never
// lock a user out of their own file.
#include "platform/trace_file.h"

#include <windows.h>

#include <string>
#include <vector>

namespace platform {
namespace {

// The trace must leave no trace in the thread's last error: the library's
// own error reports read it after the calls the trace sits beside.
class LastErrorKept {
 public:
  ~LastErrorKept() { SetLastError(saved_); }

 private:
  DWORD saved_ = GetLastError();
};

}  // namespace

AppendFile::Opened AppendFile::OpenNamedBy(const char* variable) {
  const LastErrorKept kept;
  std::wstring name;
  for (const char* c = variable; *c != '\0'; ++c) name += static_cast<wchar_t>(*c);
  const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (size <= 1) return Opened::NotNamed;  // unset, or set to nothing
  std::vector<wchar_t> path(size);
  const DWORD length = GetEnvironmentVariableW(name.c_str(), path.data(), size);
  if (length == 0 || length >= size) return Opened::NotNamed;  // changed meanwhile
  HANDLE file = CreateFileW(path.data(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // No console to tell: a debugger or DebugView shows why there is no trace.
    OutputDebugStringW((L"vozi: no trace: cannot open " + std::wstring(path.data())).c_str());
    return Opened::Failed;
  }
  // Only a file on a disk or a character device (NUL, a console) is taken:
  // writes to a pipe whose server stops reading block once its buffer is
  // full, and with them every traced call of the host.
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
    CloseHandle(file);
    OutputDebugStringW((L"vozi: no trace: neither a file nor a character device: " + std::wstring(path.data())).c_str());
    return Opened::Failed;
  }
  native_ = reinterpret_cast<intptr_t>(file);
  return Opened::Yes;
}

bool AppendFile::Append(const char* bytes, size_t length) {
  if (native_ == -1) return false;
  const LastErrorKept kept;
  while (length > 0) {
    DWORD written = 0;
    const DWORD chunk = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
    if (!WriteFile(reinterpret_cast<HANDLE>(native_), bytes, chunk, &written, nullptr) || written == 0) return false;
    bytes += written;
    length -= written;
  }
  return true;
}

void AppendFile::Close() {
  if (native_ != -1) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = -1;
}

bool AppendFile::IsOpen() const { return native_ != -1; }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

}  // namespace platform
