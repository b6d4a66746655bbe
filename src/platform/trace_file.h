#pragma once
// What the diagnostic trace needs of the system: a file named by the
// environment that only ever grows, and the process's identity (its clock is
// the one in deadline.h).
#include <cstddef>
#include <cstdint>

namespace platform {

// A file opened for appending only. Each Append is one write at the end of
// the file as it is at that moment, so lines written by several threads, or
// by several processes sharing the file, never interleave within a line.
//
// It has no destructor on purpose: its owner keeps it in storage that the
// run-time never destroys (the library's unload runs after the statics are
// gone on Linux, and still traces), and closes it explicitly.
class AppendFile {
 public:
  enum class Opened { NotNamed, Yes, Failed };

  // Opens, creating it when missing, the file that the environment variable
  // `variable` (ASCII) names. NotNamed when the variable is unset or empty.
  // Failed when the file cannot be opened at once for writing, or is no
  // regular file or character device (a pipe or socket could block the
  // host); on Linux one line on standard error then says why (a Windows
  // host has no console to show it).
  Opened OpenNamedBy(const char* variable);
  // False when the system took less than all of it.
  bool Append(const char* bytes, size_t length);
  void Close();
  bool IsOpen() const;

 private:
  intptr_t native_ = -1;
};

uint32_t CurrentProcessId();

}  // namespace platform
