#pragma once
// vozi-host run as a separate process, as a user runs it: arguments,
// environment, exit code, standard output and error (kept in files, so a
// chatty run cannot block on a full pipe).
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hosttest {

using Env = std::vector<std::pair<std::string, std::string>>;

// A private folder for one test, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Where the host's standard output and error go other than the usual two
// files: a descriptor of the test's for standard output (a pipe), and
// standard error into the same place as standard output (`2>&1`).
// With `terminal` it runs in a session of its own whose controlling
// terminal (a pseudo-terminal, its standard input) the test types into.
struct Streams {
  int out = -1;
  bool errWithOut = false;
  bool terminal = false;
};

class HostProcess {
 public:
  // Starts vozi-host with these arguments; output goes to files in `folder`.
  HostProcess(const std::vector<std::string>& args, const Env& env, const std::filesystem::path& folder,
              Streams streams = {});
  ~HostProcess();  // kills a process still running

  // Keys typed on the terminal: "\x03" is a Ctrl-C, which the terminal turns
  // into SIGINT for the process (not a kill() from this one).
  void Type(const std::string& keys);

  pid_t Pid() const { return pid_; }
  // The exit code, or nullopt when it has not ended within the timeout (or
  // ended by a signal).
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  int terminal_ = -1;  // the pseudo-terminal's master side
  bool reaped_ = false;
  std::filesystem::path out_, err_;
};

struct HostRun {
  std::optional<int> exitCode;
  std::string out, err;
};

// Runs to the end (at most `timeout`).
HostRun RunHost(const std::vector<std::string>& args, const std::filesystem::path& folder,
                const Env& env = {}, std::chrono::seconds timeout = std::chrono::seconds(60));

// A simulator of our own in a device tree the test gives the host (through
// VOZI_DEVICE_ROOT); its standard output goes to `out`. Ready once made (its
// port in the tree); ended with SIGTERM when it goes.
class Simulator {
 public:
  Simulator(const std::filesystem::path& root, const std::string& serial, const std::vector<std::string>& extra,
            const std::filesystem::path& out);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

 private:
  pid_t pid_ = -1;
};

std::string ReadFile(const std::filesystem::path& path);
// The simulator a `--simulate` run started (its one child), or 0.
pid_t SimulatorOf(const HostProcess& host);
// Waits until the file holds at least `count` lines (a recording under way);
// false when it did not within `timeout`.
bool WaitForLines(const std::filesystem::path& path, size_t count,
                  std::chrono::seconds timeout = std::chrono::seconds(60));
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Split(const std::string& line, char separator);

}  // namespace hosttest
