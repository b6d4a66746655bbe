#include "host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace hosttest {

Simulator::Simulator(const std::filesystem::path& root, const std::string& serial,
                     const std::vector<std::string>& extra, const std::filesystem::path& out) {
  std::vector<std::string> args = {VOZI_SIM_PATH, "--device-root", root.string(), "--serial", serial};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;  // made before the fork: the child may not allocate
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fd, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Lines(ReadFile(out)).size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Simulator::~Simulator() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vozi-host-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

HostProcess::HostProcess(const std::vector<std::string>& args, const Env& env,
                         const std::filesystem::path& folder, Streams streams)
    : out_(folder / "host.out"), err_(streams.errWithOut ? out_ : folder / "host.err") {
  std::string terminalName;
  if (streams.terminal) {
    terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) throw std::runtime_error("no pty");
    terminalName = ptsname(terminal_);
  }
  std::vector<std::string> argv_s = {VOZI_HOST_PATH};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The environment is made here: between fork and exec a child of a
  // threaded process may only make system calls, and setenv allocates (a
  // lock another thread held at the fork stays held in the child forever).
  std::vector<std::string> env_s;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    const bool replaced = std::any_of(env.begin(), env.end(), [&](const auto& kv) { return kv.first == name; });
    if (!replaced) env_s.push_back(entry);
  }
  for (const auto& [name, value] : env) env_s.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(err_.c_str(), O_WRONLY | O_CREAT | (streams.errWithOut ? 0 : O_TRUNC) | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    if (streams.terminal) {
      // A session leader's first terminal opened becomes its controlling one.
      setsid();
      const int slave = open(terminalName.c_str(), O_RDWR);
      if (slave < 0) _exit(126);
      dup2(slave, STDIN_FILENO);
    }
    dup2(streams.out >= 0 ? streams.out : out, STDOUT_FILENO);
    dup2(streams.errWithOut ? STDOUT_FILENO : err, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out);
  close(err);
}

HostProcess::~HostProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (terminal_ >= 0) close(terminal_);
}

void HostProcess::Type(const std::string& keys) {
  if (write(terminal_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("cannot type on the terminal");
  }
}

std::optional<int> HostProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (!reaped_) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(status)) return std::nullopt;
  return WEXITSTATUS(status);
}

std::string HostProcess::Out() const { return ReadFile(out_); }
std::string HostProcess::Err() const { return ReadFile(err_); }

HostRun RunHost(const std::vector<std::string>& args, const std::filesystem::path& folder,
                const Env& env, std::chrono::seconds timeout) {
  HostProcess p(args, env, folder);
  HostRun run;
  run.exitCode = p.Wait(timeout);
  run.out = p.Out();
  run.err = p.Err();
  return run;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

pid_t SimulatorOf(const HostProcess& host) {
  const std::string pid = std::to_string(host.Pid());
  std::ifstream children("/proc/" + pid + "/task/" + pid + "/children");
  pid_t sim = 0;
  return children >> sim ? sim : 0;
}

bool WaitForLines(const std::filesystem::path& path, size_t count, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Lines(ReadFile(path)).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<std::string> Lines(const std::string& text) { return Split(text, '\n'); }

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
  if (!text.empty() && text.back() == separator && separator != '\n') parts.emplace_back();
  return parts;
}

}  // namespace hosttest
