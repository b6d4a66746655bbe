// Streams through a broker, measured: simulated instruments (16 channels at
// 1 kHz; vozi-sim, 16 per vozi-host) published by `vozi-host publish` to one
// local mosquitto, read by one subscriber (this program).
//
//  - loss: every instrument's positions must run from 0 to the position of
//    its stop event without a jump, with no gap event;
//  - latency: from the host's clock when the publisher read the first sample
//    of a batch (host_time_us) to the batch's arrival here: the longest wait
//    of any sample in it (p50, p99, max);
//  - publisher CPU per instrument: the vozi-host processes' own CPU (their
//    reader threads, acquisition and publishing; not the simulators'), over a
//    window once every instrument streams, in % of one core; and the same
//    instruments under `vozi-host acquire` without files, for the share that
//    publishing adds.
//
//   publish_bench [--instruments 32] [--seconds 10] [--record [--csv]]
//
// With --record the same streams are also recorded from the broker by
// `vozi-host record` (one per publishing host's prefix; EDF+, and CSV with
// --csv), and it measures the recorders instead of the acquire baseline:
//
//  - recorder CPU per instrument, over the same window as the publishers';
//  - what the recorders' session.json files say once every stream stopped:
//    every instrument's stream there, from position 0, with no sample
//    missing, no gap and as many samples as the subscriber received, and no
//    message skipped.
//
// The line starting "RESULT" carries the figures as key=value pairs for
// scripts/bench.
#include <fcntl.h>
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "burst_stream.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int kPerHost = 16;  // vozi-host --simulate starts at most 16

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& errFile) {
  // Everything the child needs is made before the fork: a child of a
  // threaded process may not allocate before its exec.
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int out = open((errFile + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (err >= 0) close(err);
  if (out >= 0) close(out);
  return pid;
}

// utime + stime of the process's own threads (not its children's), seconds.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  // Fields after the name start at the state (field 3): utime is field 14.
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Track {
  uint64_t next = 0;
  uint64_t jumps = 0, missing = 0, batches = 0, samples = 0;
  int64_t stopPosition = -1;
  int gapEvents = 0, unpublished = 0;
};

class Subscriber {
 public:
  explicit Subscriber(int port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Subscriber*>(self)->Take(m);
    });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard lock(s->mutex_);
      s->subscribed_ = true;
      s->changed_.notify_all();
    });
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_subscribe(mosq_, nullptr, "bench/#", 1);
    mosquitto_loop_start(mosq_);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return subscribed_; });
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }

  size_t Streaming() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& [topic, t] : tracks_) n += t.batches > 0;
    return n;
  }
  size_t Stopped() {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& [topic, t] : tracks_) n += t.stopPosition >= 0;
    return n;
  }
  bool WaitFor(size_t instruments, bool stopped, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while ((stopped ? Stopped() : Streaming()) < instruments) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  void Measure(bool on) {
    std::lock_guard lock(mutex_);
    measuring_ = on;
  }
  std::vector<int64_t> Latencies() {
    std::lock_guard lock(mutex_);
    return latencies_;
  }
  std::map<std::string, Track> Tracks() {
    std::lock_guard lock(mutex_);
    return tracks_;
  }

 private:
  void Take(const mosquitto_message* m) {
    const int64_t now = NowUs();
    const std::string topic = m->topic;
    const size_t slash = topic.rfind('/');
    const std::string instrument = topic.substr(0, slash), kind = topic.substr(slash + 1);
    // The senders' clock exchanges share the prefix: <prefix>/clock/<name>/...
    if (topic.find("/clock/") != std::string::npos) return;
    const auto* bytes = static_cast<const unsigned char*>(m->payload);
    std::lock_guard lock(mutex_);
    Track& t = tracks_[instrument];
    if (kind == "samples" && m->payloadlen >= 32) {  // format 2: a 32-byte header
      uint64_t first = 0, count = 0;
      int64_t host = 0;
      for (int k = 0; k < 4; ++k) count |= uint64_t(bytes[4 + k]) << (8 * k);
      for (int k = 0; k < 8; ++k) first |= uint64_t(bytes[8 + k]) << (8 * k);
      for (int k = 0; k < 8; ++k) host |= int64_t(uint64_t(bytes[16 + k]) << (8 * k));
      if (first != t.next) {
        ++t.jumps;
        t.missing += first > t.next ? first - t.next : 0;
      }
      t.next = first + count;
      ++t.batches;
      t.samples += count;
      if (measuring_) latencies_.push_back(now - host);
    } else if (kind == "events") {
      const std::string text(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
      if (text.find("\"event\":\"gap\"") != std::string::npos) ++t.gapEvents;
      if (text.find("\"event\":\"unpublished\"") != std::string::npos) ++t.unpublished;
      if (text.find("\"event\":\"stop\"") != std::string::npos) {
        const size_t at = text.find("\"position\":");
        t.stopPosition = std::stoll(text.substr(at + 11));
      }
    }
  }

  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool subscribed_ = false;
  bool measuring_ = false;
  std::map<std::string, Track> tracks_;
  std::vector<int64_t> latencies_;
};

std::vector<std::string> HostArgs(const std::string& host, int count, const std::vector<std::string>& command) {
  std::vector<std::string> args = {host, "--simulate=" + std::to_string(count)};
  for (const auto& [key, value] : BenchStreamOptions()) args.push_back("--sim-arg=--" + key + "=" + value);
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

void EndAll(const std::vector<pid_t>& hosts) {
  for (pid_t p : hosts) kill(p, SIGINT);
  for (pid_t p : hosts) waitpid(p, nullptr, 0);
}

// CPU of each group of processes over the same `seconds`, once they stream:
// % of one core per instrument.
std::vector<double> CpuPerInstrument(const std::vector<std::vector<pid_t>>& groups, double seconds,
                                     int instruments) {
  const auto sum = [&] {
    std::vector<double> cpu;
    for (const auto& group : groups) {
      cpu.push_back(0);
      for (pid_t p : group) cpu.back() += ProcessCpu(p);
    }
    return cpu;
  };
  const std::vector<double> before = sum();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  std::vector<double> cpu = sum();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (size_t k = 0; k < cpu.size(); ++k) cpu[k] = (cpu[k] - before[k]) / elapsed / instruments * 100.0;
  return cpu;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// `vozi-host record` of one publishing host's prefix, into a folder of its own.
struct Recorder {
  std::string prefix;
  int instruments = 0;
  std::filesystem::path out, log;
  pid_t pid = -1;
};

// The recorder's session.json once `done` holds for it, or what it last was.
nlohmann::json WaitForSession(const Recorder& r, const std::function<bool(const nlohmann::json&)>& done,
                              std::chrono::seconds timeout) {
  nlohmann::json session;
  for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;) {
    session = nlohmann::json::parse(ReadText(r.out / "session.json"), nullptr, false);
    if (!session.is_discarded() && done(session)) break;
    std::this_thread::sleep_for(100ms);
  }
  return session;
}

size_t EndedStreams(const nlohmann::json& session) {
  size_t n = 0;
  for (const auto& s : session["streams"]) n += !s["end"].is_null();
  return n;
}

double Percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))]);
}

}  // namespace

int main(int argc, char** argv) {
  int instruments = 32;
  double seconds = 10;
  bool record = false, csv = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--instruments") && i + 1 < argc) instruments = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--record")) record = true;
    else if (!std::strcmp(argv[i], "--csv")) csv = true;
    else {
      std::fprintf(stderr, "usage: publish_bench [--instruments N] [--seconds S] [--record [--csv]]\n");
      return 2;
    }
  }
  const std::string host = BENCH_HOST_PATH;
  char folderTemplate[] = "/tmp/publish-bench-XXXXXX";
  const std::filesystem::path folder = mkdtemp(folderTemplate);
  const int port = FreePort();
  const passwd* user = getpwuid(getuid());
  std::ofstream(folder / "mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
                                           << "user " << (user ? user->pw_name : "mosquitto") << "\n";
  const pid_t broker = Spawn({"mosquitto", "-c", (folder / "mosquitto.conf").string()}, folder / "mosquitto.err");
  for (const auto deadline = Clock::now() + 10s; !Accepts(port);) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "publish_bench: mosquitto did not start\n");
      return 1;
    }
    std::this_thread::sleep_for(10ms);
  }
  const std::string url = "mqtt://127.0.0.1:" + std::to_string(port);

  // Recording, from before the first batch: every stream from position 0.
  std::vector<Recorder> recorders;
  for (int k = 0, left = instruments; record && left > 0; ++k, left -= kPerHost) {
    Recorder r{"bench/h" + std::to_string(k), std::min(left, kPerHost), folder / ("rec" + std::to_string(k)),
               folder / ("rec" + std::to_string(k) + ".err")};
    std::vector<std::string> args{host, "record", "--broker", url, "--prefix", r.prefix, "--out", r.out.string()};
    if (csv) args.push_back("--csv");
    r.pid = Spawn(args, r.log);
    for (const auto deadline = Clock::now() + 20s; ReadText(r.log.string() + ".out").find("recording ") == std::string::npos;) {
      if (Clock::now() > deadline) {
        std::fprintf(stderr, "publish_bench: the recorder did not start: %s\n", ReadText(r.log).c_str());
        return 1;
      }
      std::this_thread::sleep_for(20ms);
    }
    recorders.push_back(r);
  }
  std::vector<pid_t> recorderPids;
  for (const Recorder& r : recorders) recorderPids.push_back(r.pid);

  // Publishing.
  Subscriber subscriber(port);
  const auto spawned = Clock::now();
  std::vector<pid_t> hosts;
  for (int k = 0, left = instruments; left > 0; ++k, left -= kPerHost) {
    hosts.push_back(Spawn(HostArgs(host, std::min(left, kPerHost),
                                   {"publish", "--broker", url, "--prefix", "bench/h" + std::to_string(k),
                                    "--allow-loss"}),
                          folder / ("host" + std::to_string(k) + ".err")));
  }
  if (!subscriber.WaitFor(static_cast<size_t>(instruments), false, 120s)) {
    std::fprintf(stderr, "publish_bench: only %zu of %d instruments streamed (see %s)\n", subscriber.Streaming(),
                 instruments, folder.c_str());
    EndAll(hosts);
    kill(broker, SIGTERM);
    return 1;
  }
  // How long the instruments take to start; the acquire run waits as long.
  const auto startUp = Clock::now() - spawned;
  std::this_thread::sleep_for(1s);  // past the start-up bursts
  subscriber.Measure(true);
  const std::vector<double> cpus = CpuPerInstrument({hosts, recorderPids}, seconds, instruments);
  const double cpu = cpus[0];
  subscriber.Measure(false);
  EndAll(hosts);
  const bool allStopped = subscriber.WaitFor(static_cast<size_t>(instruments), true, 30s);

  uint64_t samples = 0, batches = 0, lost = 0, jumps = 0, gapEvents = 0, unpublished = 0, incomplete = 0;
  for (const auto& [topic, t] : subscriber.Tracks()) {
    samples += t.samples;
    batches += t.batches;
    lost += t.missing;
    jumps += t.jumps;
    gapEvents += static_cast<uint64_t>(t.gapEvents);
    unpublished += static_cast<uint64_t>(t.unpublished);
    // The tail: everything up to the stop event's position arrived.
    if (t.stopPosition < 0 || t.next != static_cast<uint64_t>(t.stopPosition)) {
      ++incomplete;
      std::fprintf(stderr, "publish_bench: %s: samples up to %llu, stop event at %lld\n", topic.c_str(),
                   static_cast<unsigned long long>(t.next), static_cast<long long>(t.stopPosition));
    }
  }
  const std::vector<int64_t> latencies = subscriber.Latencies();
  if (record) {
    // Each recorder ends its streams as their stop events come; then it is
    // ended as Ctrl-C would, and its last session.json is read.
    uint64_t streams = 0, missing = 0, gaps = 0, skipped = 0, unequal = 0, failed = 0;
    const auto tracks = subscriber.Tracks();
    for (const Recorder& r : recorders) {
      WaitForSession(r, [&](const nlohmann::json& s) { return EndedStreams(s) >= static_cast<size_t>(r.instruments); },
                     60s);
      kill(r.pid, SIGINT);
      int status = 0;
      waitpid(r.pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ++failed;
        std::fprintf(stderr, "publish_bench: the recorder of %s ended with status %d: %s\n", r.prefix.c_str(), status,
                     ReadText(r.log).c_str());
      }
      const nlohmann::json session = nlohmann::json::parse(ReadText(r.out / "session.json"), nullptr, false);
      if (session.is_discarded()) {
        std::fprintf(stderr, "publish_bench: no readable session.json in %s\n", r.out.c_str());
        ++failed;
        continue;
      }
      for (const auto& [kind, count] : session["skipped"].items()) {
        skipped += count.get<uint64_t>();
        if (count.get<uint64_t>() > 0) std::fprintf(stderr, "publish_bench: %s: skipped %s %llu\n", r.prefix.c_str(),
                                                    kind.c_str(), static_cast<unsigned long long>(count.get<uint64_t>()));
      }
      for (const auto& s : session["streams"]) {
        ++streams;
        const std::string id = s["topic_id"].get<std::string>();
        missing += s["missing"].get<uint64_t>();
        gaps += s["gaps"].get<uint64_t>();
        const auto t = tracks.find(r.prefix + "/" + id);
        const uint64_t received = t == tracks.end() ? 0 : t->second.samples;
        const bool equal = s["first_position"] == 0 && s["samples"] == received;
        unequal += !equal;
        if (!equal || s["missing"] != 0 || s["gaps"] != 0) {
          std::fprintf(stderr, "publish_bench: %s/%s recorded %s samples from position %s (the subscriber: %llu), "
                       "%s missing at %s gaps, end: %s\n", r.prefix.c_str(), id.c_str(), s["samples"].dump().c_str(),
                       s["first_position"].dump().c_str(), static_cast<unsigned long long>(received),
                       s["missing"].dump().c_str(), s["gaps"].dump().c_str(), s["end"].dump().c_str());
        }
      }
    }
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    const bool whole = streams == static_cast<uint64_t>(instruments) && missing == 0 && gaps == 0 && skipped == 0 &&
                       unequal == 0 && failed == 0 && lost == 0 && jumps == 0 && incomplete == 0 && allStopped;
    if (whole) {
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    }
    std::printf("record: %d instruments, 16 channels at 1 kHz, %.0f s measured, one local mosquitto, %zu `vozi-host "
                "record` writing %s\n",
                instruments, seconds, recorders.size(), csv ? "EDF+ and CSV" : "EDF+");
    std::printf("  recorder CPU per instrument: %.3f %% of one core (%.1f %% of one core in all); publisher: %.3f %%\n",
                cpus[1], cpus[1] * instruments, cpu);
    std::printf("  session.json: %llu of %d streams, %llu samples missing, %llu gaps, %llu messages skipped, %llu "
                "streams not equal to what the subscriber received, %llu recorders failed%s\n",
                static_cast<unsigned long long>(streams), instruments, static_cast<unsigned long long>(missing),
                static_cast<unsigned long long>(gaps), static_cast<unsigned long long>(skipped),
                static_cast<unsigned long long>(unequal), static_cast<unsigned long long>(failed),
                whole ? "" : (" (kept: " + folder.string() + ")").c_str());
    // Loss the subscriber saw as well happened before the broker (the
    // publishers' gap events say where); the recorder can only record it.
    std::printf("  the subscriber: lost %llu samples (%llu position jumps, %llu gap events from the publishers), %llu "
                "instruments incomplete at the stop\n",
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(jumps),
                static_cast<unsigned long long>(gapEvents), static_cast<unsigned long long>(incomplete + (allStopped ? 0 : 1)));
    std::printf("RESULT kind=record files=%s instruments=%d streams=%llu missing=%llu gaps=%llu skipped=%llu "
                "unequal=%llu failed=%llu upstream_lost=%llu upstream_jumps=%llu gap_events=%llu cpu_pct=%.4f "
                "publisher_cpu_pct=%.4f\n",
                csv ? "edf+csv" : "edf", instruments, static_cast<unsigned long long>(streams),
                static_cast<unsigned long long>(missing), static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(skipped), static_cast<unsigned long long>(unequal),
                static_cast<unsigned long long>(failed + incomplete + (allStopped ? 0 : 1)),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(jumps),
                static_cast<unsigned long long>(gapEvents), cpus[1], cpu);
    return whole ? 0 : 1;
  }

  // The same instruments, acquired without publishing.
  hosts.clear();
  for (int k = 0, left = instruments; left > 0; ++k, left -= kPerHost) {
    hosts.push_back(Spawn(HostArgs(host, std::min(left, kPerHost), {"acquire", "--allow-loss"}),
                          folder / ("acquire" + std::to_string(k) + ".err")));
  }
  // Nothing tells when acquire streams without files: it is given the time
  // the instruments took to start under publish, and a second more.
  std::this_thread::sleep_for(startUp + 1s);
  const double baseline = CpuPerInstrument({hosts}, seconds, instruments)[0];
  EndAll(hosts);
  kill(broker, SIGTERM);
  waitpid(broker, nullptr, 0);
  // What the hosts said, when something did not arrive (an instrument the
  // machine's load starved reports it there).
  if (incomplete || lost || jumps) {
    for (int k = 0; k * kPerHost < instruments; ++k) {
      for (const char* suffix : {".err", ".err.out"}) {
        std::ifstream said(folder / ("host" + std::to_string(k) + suffix));
        for (std::string line; std::getline(said, line);) std::fprintf(stderr, "  host %d: %s\n", k, line.c_str());
      }
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);

  const double p50 = Percentile(latencies, 0.50), p99 = Percentile(latencies, 0.99),
               max = Percentile(latencies, 1.0);
  std::printf("publish: %d instruments, 16 channels at 1 kHz, %.0f s measured, one local mosquitto, one subscriber\n",
              instruments, seconds);
  std::printf("  received %llu samples in %llu batches; lost %llu samples (%llu position jumps, %llu gap events, "
              "%llu unpublished events, %llu instruments incomplete at the stop%s)\n",
              static_cast<unsigned long long>(samples), static_cast<unsigned long long>(batches),
              static_cast<unsigned long long>(lost), static_cast<unsigned long long>(jumps),
              static_cast<unsigned long long>(gapEvents), static_cast<unsigned long long>(unpublished),
              static_cast<unsigned long long>(incomplete), allStopped ? "" : ", stop events missing");
  std::printf("  latency host_time_us -> subscriber (first sample of each batch, %zu batches): p50 %.1f ms, "
              "p99 %.1f ms, max %.1f ms\n",
              latencies.size(), p50 / 1e3, p99 / 1e3, max / 1e3);
  std::printf("  publisher CPU per instrument: %.3f %% of one core (acquire alone: %.3f %%; publishing adds %.3f %%)\n",
              cpu, baseline, cpu - baseline);
  std::printf("RESULT kind=publish instruments=%d lost=%llu jumps=%llu incomplete=%llu p50_us=%.0f p99_us=%.0f "
              "max_us=%.0f cpu_pct=%.4f baseline_cpu_pct=%.4f\n",
              instruments, static_cast<unsigned long long>(lost), static_cast<unsigned long long>(jumps),
              static_cast<unsigned long long>(incomplete + (allStopped ? 0 : 1)), p50, p99, max, cpu, baseline);
  return lost == 0 && jumps == 0 && incomplete == 0 && allStopped ? 0 : 1;
}
