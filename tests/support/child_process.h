#pragma once
// A program run as a child process, with this process's environment and its
// error output kept in a file: how it ended, and what it said.
#include <chrono>
#include <string>
#include <vector>

namespace testing_support {

struct ChildRun {
  // "exit N", "signal N", or "timed out" (the child was killed then).
  std::string ending;
  std::string err;
};

ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace testing_support
