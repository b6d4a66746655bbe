#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {

ChildRun RunChild(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ChildRun run;
  std::string errPath = (std::filesystem::temp_directory_path() / "vozi-child-XXXXXX").string();
  const int errFd = ::mkstemp(errPath.data());
  if (errFd < 0) return {"no error file", ""};
  std::vector<char*> args;
  std::vector<std::string> copies = argv;
  for (std::string& arg : copies) args.push_back(arg.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(errFd);
  if (spawned != 0) {
    ::unlink(errPath.c_str());
    return {"not started", ""};
  }

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (reaped == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    run.ending = "timed out";
  } else if (WIFEXITED(status)) {
    run.ending = "exit " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    run.ending = "signal " + std::to_string(WTERMSIG(status));
  }
  std::ifstream err(errPath);
  std::ostringstream text;
  text << err.rdbuf();
  run.err = text.str();
  ::unlink(errPath.c_str());
  return run;
}

}  // namespace testing_support
