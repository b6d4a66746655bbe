#include "platform/private_broker.h"

#include "commands/commands.h"
#include "platform/console.h"
#include "platform/simulator_fleet.h"

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
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <vector>

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

std::string Tail(const std::filesystem::path& log) {
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

// Only the publisher may write (its user, with a password made for this run);
// everyone else (the page, a local mosquitto_sub) reads anonymously. Each
// listener says "socket_domain ipv4": with it, mosquitto 2.0 binds a
// WebSockets listener to the address on its "listener" line, without it to
// every address. Only errors and warnings are logged (connections are not:
// a long run would fill the disk).
std::string Config(int mqttPort, int webPort, const std::filesystem::path& webDir,
                   const std::filesystem::path& dir) {
  std::ostringstream c;
  c << "# vozi-host monitor: a broker for this run only, on the loopback alone.\n"
    << "per_listener_settings false\n"
    << "allow_anonymous true\n"
    << "password_file " << (dir / "passwd").string() << "\n"
    << "acl_file " << (dir / "acl").string() << "\n"
    << "persistence false\n"
    << "user " << UserName() << "\n"
    << "log_dest stderr\n"
    << "log_type error\nlog_type warning\n"
    << "listener " << mqttPort << " 127.0.0.1\n"
    << "socket_domain ipv4\n"
    << "protocol mqtt\n"
    << "listener " << webPort << " 127.0.0.1\n"
    << "socket_domain ipv4\n"
    << "protocol websockets\n"
    << "http_dir " << webDir.string() << "\n";
  return c.str();
}

// Anonymous clients read; the publisher's user writes.
std::string Acl() {
  return std::string("topic read #\n") + "user " + kPrivateBrokerUser + "\ntopic readwrite #\n";
}

// A password for this run: 24 random bytes as hex.
bool RandomPassword(std::string* password, std::string* error) {
  unsigned char bytes[24];
  std::ifstream random("/dev/urandom", std::ios::binary);
  if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
    *error = "cannot read /dev/urandom for the broker's password";
    return false;
  }
  static const char* hex = "0123456789abcdef";
  password->clear();
  for (const unsigned char b : bytes) {
    *password += hex[b >> 4];
    *password += hex[b & 15];
  }
  return true;
}

// Runs a program and waits for it; its output goes to `log`. Made before the
// fork: the child only makes system calls.
bool RunAndWait(std::vector<std::string> args, const std::filesystem::path& log) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t child = fork();
  if (child == 0) {
    if (logFd >= 0) {
      dup2(logFd, STDOUT_FILENO);
      dup2(logFd, STDERR_FILENO);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (logFd >= 0) close(logFd);
  if (child < 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The password file: written in plain text (mode 600, in our own folder),
// then hashed in place by mosquitto_passwd -U, so that the password never
// appears on a command line.
bool WritePasswordFile(const std::filesystem::path& mosquitto, const std::filesystem::path& dir,
                       const std::string& password, std::string* error) {
  const std::filesystem::path file = dir / "passwd";
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const std::string line = std::string(kPrivateBrokerUser) + ":" + password + "\n";
  const bool written = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (fd >= 0) close(fd);
  if (!written) {
    *error = "cannot write " + file.string() + ": " + std::strerror(errno);
    return false;
  }
  std::filesystem::path tool = mosquitto.parent_path().parent_path() / "bin" / "mosquitto_passwd";
  if (access(tool.c_str(), X_OK) != 0) tool = "/usr/bin/mosquitto_passwd";
  if (!RunAndWait({tool.string(), "-U", file.string()}, dir / "mosquitto_passwd.log")) {
    *error = "mosquitto_passwd could not hash the broker's password file" +
             (Tail(dir / "mosquitto_passwd.log").empty() ? "" : ": " + Tail(dir / "mosquitto_passwd.log"));
    return false;
  }
  return true;
}

// Every socket the broker listens on, as "address:port", and whether each is
// on the loopback: from /proc/net/tcp{,6}, for the sockets among its fds.
std::vector<std::pair<std::string, bool>> ListeningSockets(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
    if (!ec && target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::vector<std::pair<std::string, bool>> found;
  for (const bool v6 : {false, true}) {
    std::ifstream table(v6 ? "/proc/net/tcp6" : "/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, skip, inode;
      fields >> slot >> local >> remote >> state;
      for (int k = 0; k < 5; ++k) fields >> skip;  // tx:rx, tr:when, retrnsmt, uid, timeout
      fields >> inode;
      if (state != "0A" || !inodes.count(inode)) continue;  // 0A: LISTEN
      const size_t colon = local.find(':');
      const std::string hexAddress = local.substr(0, colon);
      const int port = static_cast<int>(std::strtol(local.substr(colon + 1).c_str(), nullptr, 16));
      // The kernel prints each 32-bit word of the address as it lies in memory.
      unsigned char raw[16] = {};
      for (size_t w = 0; w * 8 < hexAddress.size() && w < 4; ++w) {
        const uint32_t word = static_cast<uint32_t>(std::strtoul(hexAddress.substr(w * 8, 8).c_str(), nullptr, 16));
        std::memcpy(raw + 4 * w, &word, 4);
      }
      char text[INET6_ADDRSTRLEN] = {};
      bool loopback = false;
      if (v6) {
        in6_addr a;
        std::memcpy(&a, raw, 16);
        inet_ntop(AF_INET6, &a, text, sizeof text);
        loopback = IN6_IS_ADDR_LOOPBACK(&a);
      } else {
        in_addr a;
        std::memcpy(&a, raw, 4);
        inet_ntop(AF_INET, &a, text, sizeof text);
        loopback = (ntohl(a.s_addr) >> 24) == 127;
      }
      found.push_back({std::string(text) + ":" + std::to_string(port), loopback});
    }
  }
  return found;
}

// The broker's log is bounded: past this size its writes fail (mosquitto
// goes on), so that not even a broker stuck complaining fills the disk.
constexpr rlim_t kLogLimitBytes = 1 << 20;

// The last line of the log, read through a descriptor kept open after its
// folder went.
std::string LastLine(int fd) {
  if (fd < 0) return {};
  std::string text(kLogLimitBytes, '\0');
  const ssize_t n = pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  std::istringstream lines(text);
  std::string line, last;
  while (std::getline(lines, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

std::string EndText(int status) {
  if (WIFSIGNALED(status)) return std::string("killed by signal ") + strsignal(WTERMSIG(status));
  return "exit code " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

struct PrivateBroker::Impl {
  std::mutex mutex;  // Stop on the main thread against a forced end and the watcher
  std::condition_variable ended;
  std::filesystem::path dir;
  pid_t pid = -1;
  bool exited = false;    // the broker has ended (a zombie until the watcher reaps it)
  bool stopping = false;  // Stop() ends it: no news
  std::string death;      // how it ended on its own
  std::thread watcher;
  int logReadFd = -1;
  int mqttPort = 0;
  int webPort = 0;
  std::string password;

  bool Launch(const std::filesystem::path& mosquitto, std::string* error);
  bool WaitReady(std::string* error, bool* retry);
  bool OnLoopbackOnly(std::string* error);
  void Watch();
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
  if (logReadFd >= 0) close(logReadFd);
  logReadFd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
  std::string exe = mosquitto.string(), flag = "-c", confText = conf.string();
  char* argv[] = {exe.data(), flag.data(), confText.data(), nullptr};
  const pid_t parent = getpid();
  const rlimit logLimit{kLogLimitBytes, kLogLimitBytes};
  exited = false;
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
    // A write past the limit fails instead of killing the broker.
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &logLimit);
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
      const std::string last = LastLine(logReadFd);
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

// Whatever the configuration says, what counts is where the sockets are: a
// broker that listens on any other address is ended before anyone uses it.
bool PrivateBroker::Impl::OnLoopbackOnly(std::string* error) {
  const auto sockets = ListeningSockets(pid);
  if (sockets.empty()) {
    *error = "cannot see where the broker (mosquitto) listens (/proc/" + std::to_string(pid) + ")";
    return false;
  }
  for (const auto& [where, loopback] : sockets) {
    if (!loopback) {
      *error = "the broker (mosquitto) listens on " + where +
               ", not on the loopback alone: it was ended before anything used it";
      return false;
    }
  }
  return true;
}

// Waits for the broker's end without reaping it (WNOWAIT), so that a signal
// sent meanwhile under the lock can never reach another process that took
// its pid; then reaps it.
void PrivateBroker::Impl::Watch() {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::unique_lock lock(mutex);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  exited = true;
  if (!stopping) {
    // Its last words, when they say what went wrong.
    const std::string last = LastLine(logReadFd);
    const bool error = last.find("Error") != std::string::npos;
    death = "the monitor's broker (mosquitto) ended on its own (" + EndText(status) + ")" +
            (error ? ": " + last : "");
  }
  lock.unlock();
  ended.notify_all();
  if (!death.empty()) {
    // The page and every subscriber have lost their broker, and its ports are
    // free for any local program to take: the monitor ends.
    ReportError(death + "; the monitor ends");
    RequestStop();
  }
}

void PrivateBroker::Impl::End(bool grace) {
  std::unique_lock lock(mutex);
  stopping = true;
  if (watcher.joinable()) {
    // The watcher reaps: signal while it has not, wait for it.
    if (!exited) kill(pid, grace ? SIGTERM : SIGKILL);
    if (!ended.wait_for(lock, kExitGrace, [&] { return exited; })) {
      if (!exited) kill(pid, SIGKILL);
      ended.wait(lock, [&] { return exited; });
    }
    lock.unlock();
    watcher.join();
    lock.lock();
  } else if (pid > 0) {
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
  }
  pid = -1;
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  dir.clear();
}

PrivateBroker::PrivateBroker() : impl_(std::make_unique<Impl>()) {}
PrivateBroker::~PrivateBroker() {
  Stop();
  if (impl_->logReadFd >= 0) close(impl_->logReadFd);
}

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
  const std::string folder = OwnedTempFolder("vozi-monitor", error);
  if (folder.empty()) return false;
  impl_->dir = folder;
  // The forced end (a second Ctrl-C, on the signal thread) only kills: the
  // watcher or the process's end reaps. Under the lock, a broker already
  // reaped is never signalled.
  SetForcedExitCleanup(this, [impl = impl_.get()] {
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->stopping = true;
    if (impl->pid > 0 && !impl->exited) kill(impl->pid, SIGKILL);
    std::error_code ignored;
    if (!impl->dir.empty()) std::filesystem::remove_all(impl->dir, ignored);
  });
  bool ok = RandomPassword(&impl_->password, error) &&
            WritePasswordFile(mosquitto, impl_->dir, impl_->password, error) &&
            static_cast<bool>(std::ofstream(impl_->dir / "acl") << Acl());
  for (int attempt = 0; ok && attempt < kAttempts; ++attempt) {
    bool retry = false;
    if (!FreePorts(&impl_->mqttPort, &impl_->webPort, error)) break;
    std::ofstream(impl_->dir / "mosquitto.conf") << Config(impl_->mqttPort, impl_->webPort, webDir, impl_->dir);
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (!impl_->Launch(mosquitto, error)) break;
    }
    if (impl_->WaitReady(error, &retry)) {
      if (!impl_->OnLoopbackOnly(error)) break;
      // The broker has read its configuration, password file and ACL, and
      // holds its log open: the folder can go now, so that not even a
      // vozi-host killed outright leaves it behind.
      std::filesystem::remove_all(impl_->dir, ec);
      impl_->watcher = std::thread([impl = impl_.get()] { impl->Watch(); });
      return true;
    }
    if (!retry) break;
  }
  impl_->End(false);
  SetForcedExitCleanup(this, {});
  return false;
}

void PrivateBroker::Stop() {
  SetForcedExitCleanup(this, {});
  impl_->End(true);
}

int PrivateBroker::MqttPort() const { return impl_->mqttPort; }
int PrivateBroker::WebPort() const { return impl_->webPort; }
const std::string& PrivateBroker::Password() const { return impl_->password; }

std::string PrivateBroker::Death() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->death;
}

}  // namespace vozihost
