#include "platform/simulator_fleet.h"

#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace vozihost {
namespace {

using Clock = std::chrono::steady_clock;

// A simulator prints its pseudo-terminal and its tty name once its port is
// in the tree; until then the enabler could not find it. One playing a
// recording then describes it.
constexpr int kReadyLines = 2;
constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kExitGrace = std::chrono::seconds(3);

struct Child {
  pid_t pid = -1;
  int output = -1;  // read end of its standard output
};

[[noreturn]] void ExecChild(const std::vector<char*>& argv, int outWrite, pid_t parent) {
  // Only async-signal-safe calls between fork and exec.
  // Own process group: the terminal's Ctrl-C reaches the host alone, which
  // then closes its devices before it ends the simulators in order.
  setpgid(0, 0);
  // The host takes its signals on one thread with them blocked everywhere
  // else; the simulator must start with the ordinary mask.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // A host killed outright still takes its simulators with it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  dup2(outWrite, STDOUT_FILENO);
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) dup2(devNull, STDIN_FILENO);
  execv(argv[0], argv.data());
  _exit(127);
}

// Reads until `lines` line ends have arrived or the deadline passes.
bool WaitForLines(int fd, int lines, Clock::time_point deadline, std::string* seen) {
  char buffer[256];
  int count = 0;
  while (count < lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // it ended before it was ready
    seen->append(buffer, static_cast<size_t>(n));
    for (ssize_t i = 0; i < n; ++i) count += buffer[i] == '\n';
  }
  return true;
}

bool Reap(pid_t pid, Clock::time_point deadline) {
  for (;;) {
    const pid_t r = waitpid(pid, nullptr, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

struct SimulatorFleet::Impl {
  std::mutex mutex;  // Stop on the main thread against a forced end
  std::filesystem::path root;
  std::vector<std::string> serials;
  std::vector<Child> children;
  std::optional<PlayedRecording> played;
  void Abandon();

  bool Launch(const SimulatorOptions& options, int k, std::string* error);
  void StopChildren();
};

bool SimulatorFleet::Impl::Launch(const SimulatorOptions& options, int k, std::string* error) {
  const std::string serial = SimulatorSerial(k);
  std::vector<std::string> args = {options.executable.string(), "--device-root", root.string(),
                                   "--serial", serial};
  args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) ExecChild(argv, pipeFds[1], parent);
  close(pipeFds[1]);
  children.push_back({pid, pipeFds[0]});

  std::string seen;
  const bool plays = PlaysRecording(options.extraArgs);
  if (!WaitForLines(pipeFds[0], kReadyLines + (plays ? 1 : 0), Clock::now() + kReadyTimeout, &seen)) {
    *error = "simulator " + serial + " (" + options.executable.string() +
             ") did not present its port" + (seen.empty() ? "" : ": " + seen);
    return false;
  }
  if (plays) {
    // Every simulator plays the same recording.
    size_t from = 0;
    for (int line = 0; line < kReadyLines; ++line) from = seen.find('\n', from) + 1;
    played = ParsePlaySummary(std::string_view(seen).substr(from, seen.find('\n', from) - from));
    if (!played) {
      *error = "simulator " + serial + " (" + options.executable.string() +
               ") did not describe the recording it plays: " + seen;
      return false;
    }
  }
  serials.push_back(serial);
  return true;
}

// A forced end: no grace for anyone, but nothing left behind either.
void SimulatorFleet::Impl::Abandon() {
  std::lock_guard<std::mutex> lock(mutex);
  for (const Child& c : children) kill(c.pid, SIGKILL);
  for (const Child& c : children) waitpid(c.pid, nullptr, 0);
  children.clear();
  std::error_code ec;
  if (!root.empty()) std::filesystem::remove_all(root, ec);
}

void SimulatorFleet::Impl::StopChildren() {
  for (const Child& c : children) kill(c.pid, SIGTERM);
  const auto deadline = Clock::now() + kExitGrace;
  for (const Child& c : children) {
    if (!Reap(c.pid, deadline)) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, nullptr, 0);
    }
    close(c.output);
  }
  children.clear();
}

std::string OwnedTempFolder(const std::string& kind, std::string* error) {
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  if (ec) {
    *error = "cannot make a temporary folder: " + ec.message();
    return {};
  }
  // Folders of owners that were killed outright (SIGKILL runs no clean-up):
  // "<kind>-<pid>-XXXXXX" whose pid is gone, and which are ours.
  const std::string start = kind + "-";
  for (const auto& entry : std::filesystem::directory_iterator(temp, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(start, 0) != 0) continue;
    const size_t dash = name.find('-', start.size());
    if (dash == std::string::npos || dash == start.size() || name.size() != dash + 7) continue;
    const std::string pidText = name.substr(start.size(), dash - start.size());
    if (pidText.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9) continue;
    struct stat st {};
    if (lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    const pid_t owner = static_cast<pid_t>(std::stol(pidText));
    if (owner <= 0 || owner == getpid() || kill(owner, 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
  std::string pattern = (temp / (start + std::to_string(getpid()) + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) {
    *error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return {};
  }
  return pattern;
}

SimulatorFleet::SimulatorFleet() : impl_(std::make_unique<Impl>()) {}
SimulatorFleet::~SimulatorFleet() { Stop(); }

bool SimulatorFleet::Supported() { return true; }

bool SimulatorFleet::Start(const SimulatorOptions& options, std::string* error) {
  const std::string folder = OwnedTempFolder("vozi-host", error);
  if (folder.empty()) return false;
  impl_->root = folder;
  SetForcedExitCleanup(this, [impl = impl_.get()] { impl->Abandon(); });
  for (int k = 0; k < options.count; ++k) {
    if (!impl_->Launch(options, k, error)) {
      Stop();
      return false;
    }
  }
  return true;
}

void SimulatorFleet::ExportDeviceRoot() const {
  setenv("VOZI_DEVICE_ROOT", impl_->root.c_str(), 1);
}

void SimulatorFleet::Stop() {
  SetForcedExitCleanup(this, {});
  std::lock_guard<std::mutex> lock(impl_->mutex);
  // The simulators remove their own ports from the tree when they end; the
  // tree's shared folders go with it afterwards.
  impl_->StopChildren();
  impl_->serials.clear();
  impl_->played.reset();
  if (!impl_->root.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(impl_->root, ec);
    impl_->root.clear();
  }
}

const std::filesystem::path& SimulatorFleet::DeviceRoot() const { return impl_->root; }
const std::vector<std::string>& SimulatorFleet::Serials() const { return impl_->serials; }
const std::optional<PlayedRecording>& SimulatorFleet::Played() const { return impl_->played; }

}  // namespace vozihost
