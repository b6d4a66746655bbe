#include "platform/private_broker.h"

#include "platform/console.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace vozihost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReadyTimeout = std::chrono::seconds(10);
constexpr auto kExitGrace = std::chrono::seconds(3);
// Free ports are found by binding and letting go; another program may take
// one in between, and then the broker fails to listen and is tried again.
constexpr int kAttempts = 3;

// Debian installs the broker in /usr/sbin, which is not on a user's PATH.
std::filesystem::path FindMosquitto() {
  std::vector<std::filesystem::path> places;
  if (const char* path = getenv("PATH")) {
    std::stringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (!dir.empty()) places.push_back(std::filesystem::path(dir) / "mosquitto");
    }
  }
  places.push_back("/usr/sbin/mosquitto");
  places.push_back("/usr/local/sbin/mosquitto");
  for (const auto& p : places) {
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Two different free loopback ports: both stay bound until both are known.
bool FreePorts(int* first, int* second, std::string* error) {
  int fds[2] = {-1, -1};
  int ports[2] = {0, 0};
  bool ok = true;
  for (int i = 0; i < 2 && ok; ++i) {
    fds[i] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    ok = fds[i] >= 0 && bind(fds[i], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
         getsockname(fds[i], reinterpret_cast<sockaddr*>(&a), &len) == 0;
    ports[i] = ntohs(a.sin_port);
  }
  if (!ok) *error = std::string("no free port on 127.0.0.1: ") + std::strerror(errno);
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  *first = ports[0];
  *second = ports[1];
  return ok;
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in a = Loopback(port);
  const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// The broker runs as whoever runs vozi-host. mosquitto started as root would
// otherwise change to the user "mosquitto", which cannot read a page or a
// configuration in root's private folders.
std::string UserName() {
  const passwd* pw = getpwuid(geteuid());
  return pw ? pw->pw_name : "root";
}

std::string Config(int mqttPort, int webPort, const std::filesystem::path& webDir) {
  std::ostringstream c;
  c << "# vozi-host monitor: a broker for this run only, on the loopback alone.\n"
    << "per_listener_settings false\n"
    << "allow_anonymous true\n"
    << "persistence false\n"
    << "user " << UserName() << "\n"
    << "log_dest stderr\n"
    << "log_type error\nlog_type warning\nlog_type notice\n"
    << "listener " << mqttPort << " 127.0.0.1\n"
    << "protocol mqtt\n"
    << "listener " << webPort << " 127.0.0.1\n"
    << "protocol websockets\n"
    << "http_dir " << webDir.string() << "\n";
  return c.str();
}

std::string Tail(const std::filesystem::path& log) {
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

}  // namespace

struct PrivateBroker::Impl {
  std::mutex mutex;  // Stop on the main thread against a forced end
  std::filesystem::path dir;
  pid_t pid = -1;
  int mqttPort = 0;
  int webPort = 0;

  bool Launch(const std::filesystem::path& mosquitto, std::string* error);
  bool WaitReady(std::string* error, bool* retry);
  void End(bool grace);
};

bool PrivateBroker::Impl::Launch(const std::filesystem::path& mosquitto, std::string* error) {
  const std::filesystem::path conf = dir / "mosquitto.conf";
  const std::filesystem::path log = dir / "mosquitto.log";
  const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) {
    *error = "cannot write " + log.string() + ": " + std::strerror(errno);
    return false;
  }
  std::string exe = mosquitto.string(), flag = "-c", confText = conf.string();
  char* argv[] = {exe.data(), flag.data(), confText.data(), nullptr};
  const pid_t parent = getpid();
  pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    // Own process group: the terminal's Ctrl-C reaches vozi-host alone, which
    // tells the broker its instruments are offline before it ends the broker.
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) dup2(devNull, STDIN_FILENO);
    dup2(logFd, STDOUT_FILENO);
    dup2(logFd, STDERR_FILENO);
    execv(argv[0], argv);
    _exit(127);
  }
  const int forkErrno = errno;
  close(logFd);
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  return true;
}

// Ready when both listeners accept a connection; *retry when the broker
// ended because a port was taken meanwhile.
bool PrivateBroker::Impl::WaitReady(std::string* error, bool* retry) {
  *retry = false;
  const auto deadline = Clock::now() + kReadyTimeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      const std::string last = Tail(dir / "mosquitto.log");
      *retry = last.find("in use") != std::string::npos;
      *error = "the broker (mosquitto) ended at once" + (last.empty() ? std::string() : ": " + last);
      return false;
    }
    if (Accepts(mqttPort) && Accepts(webPort)) return true;
    if (Clock::now() >= deadline) {
      *error = "the broker (mosquitto) did not listen within 10 s";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PrivateBroker::Impl::End(bool grace) {
  if (pid > 0) {
    kill(pid, grace ? SIGTERM : SIGKILL);
    const auto deadline = Clock::now() + kExitGrace;
    for (;;) {
      const pid_t r = waitpid(pid, nullptr, grace ? WNOHANG : 0);
      if (r == pid || (r < 0 && errno != EINTR)) break;
      if (Clock::now() >= deadline) {
        kill(pid, SIGKILL);
        grace = false;
      }
      if (grace) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid = -1;
  }
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  dir.clear();
}

PrivateBroker::PrivateBroker() : impl_(std::make_unique<Impl>()) {}
PrivateBroker::~PrivateBroker() { Stop(); }

bool PrivateBroker::Supported() { return true; }

bool PrivateBroker::Start(const std::filesystem::path& webDir, std::string* error) {
  const std::filesystem::path mosquitto = FindMosquitto();
  if (mosquitto.empty()) {
    *error = "the MQTT broker mosquitto is not installed (Debian: apt install mosquitto)";
    return false;
  }
  if (webDir.string().find('\n') != std::string::npos) {
    *error = "the page's folder " + webDir.string() + " has a line break in its name";
    return false;
  }
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "vozi-monitor-XXXXXX").string();
  if (ec || !mkdtemp(pattern.data())) {
    *error = "cannot make a temporary folder: " + (ec ? ec.message() : std::strerror(errno));
    return false;
  }
  impl_->dir = pattern;
  // The lock is held only while a process is made or ended, never while
  // waiting, so that a second Ctrl-C ends everything at once.
  SetForcedExitCleanup(this, [impl = impl_.get()] {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->End(false);
  });
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool retry = false;
    if (!FreePorts(&impl_->mqttPort, &impl_->webPort, error)) break;
    std::ofstream(impl_->dir / "mosquitto.conf") << Config(impl_->mqttPort, impl_->webPort, webDir);
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (!impl_->Launch(mosquitto, error)) break;
    }
    if (impl_->WaitReady(error, &retry)) {
      // The broker has read its configuration and holds its log open: the
      // folder can go now, so that not even a vozi-host killed outright
      // leaves it behind.
      std::filesystem::remove_all(impl_->dir, ec);
      return true;
    }
    if (!retry) break;
  }
  SetForcedExitCleanup(this, {});
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->End(false);
  return false;
}

void PrivateBroker::Stop() {
  SetForcedExitCleanup(this, {});
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->End(true);
}

int PrivateBroker::MqttPort() const { return impl_->mqttPort; }
int PrivateBroker::WebPort() const { return impl_->webPort; }

}  // namespace vozihost
