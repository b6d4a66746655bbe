#pragma once
// Instruments for the latency and scaling benchmark, played by the benchmark
// itself: one thread serves N pseudo-terminals, answers the handshake with the
// simulator's conversation and, once a host starts the stream, writes each
// data line at its due time, noting the steady-clock time just before the
// write that hands its last byte to the terminal. The host side looks the
// time up by the line's sample number, so the latency it measures is exactly
// terminal -> reader thread -> decoder -> ring -> ReadLine.
//
// The instruments stream out of phase (instrument i starts i/N of a period
// late), as independent instruments do; writes the terminal refuses are
// counted, not retried.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vozi_sim/conversation.h"
#include "vozi_sim/frame_parser.h"
#include "vozi_sim/samples.h"

namespace bench {

using Clock = std::chrono::steady_clock;

class InstrumentFarm {
 public:
  // Sample times are kept for the last kSlots samples of each instrument.
  static constexpr uint64_t kSlots = 1 << 16;

  InstrumentFarm(size_t count, const vozisim::SimConfig& cfg) : cfg_(cfg), generator_(cfg) {
    period_ = std::chrono::microseconds(vozisim::StartPeriodMicros(cfg).value_or(1000));
    for (size_t i = 0; i < count; ++i) instruments_.push_back(std::make_unique<Instrument>(cfg));
    thread_ = std::thread([this] { Serve(); });
    handle_ = thread_.native_handle();
  }
  ~InstrumentFarm() {
    stop_.store(true);
    thread_.join();
  }

  size_t Count() const { return instruments_.size(); }
  const std::string& SlavePath(size_t i) const { return instruments_[i]->slavePath; }
  std::chrono::microseconds Period() const { return period_; }
  // When instrument i began writing sample n; nullopt when unknown or already overwritten.
  std::optional<Clock::time_point> WrittenAt(size_t i, uint64_t n) const {
    const Slot& slot = instruments_[i]->written[n % kSlots];
    if (slot.sample.load(std::memory_order_acquire) != n) return std::nullopt;
    return Clock::time_point(Clock::duration(slot.ticks.load(std::memory_order_relaxed)));
  }
  uint64_t WritesRefused() const { return refused_.load(); }
  // Context switches of the serving thread so far, to be left out likewise.
  uint64_t ContextSwitches() const {
    std::ifstream status("/proc/self/task/" + std::to_string(tid_.load()) + "/status");
    uint64_t total = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) total += std::stoull(line.substr(line.find(':') + 1));
    }
    return total;
  }
  // CPU time of the serving thread, to be left out of the pipeline's cost.
  double CpuSeconds() const {
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(handle_, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

 private:
  struct Slot {
    std::atomic<uint64_t> sample{~0ull};
    std::atomic<Clock::rep> ticks{0};
  };
  struct Instrument {
    explicit Instrument(const vozisim::SimConfig& cfg) : conversation(cfg), written(new Slot[kSlots]) {
      master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
      char name[128];
      if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        throw std::runtime_error("no pseudo-terminal");
      }
      slavePath = name;
      // Kept open so the terminal lives between the host's opens; raw, so
      // nothing is echoed or translated before the host configures it.
      keptSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      termios t{};
      if (keptSlave >= 0 && tcgetattr(keptSlave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(keptSlave, TCSANOW, &t);
      }
    }
    ~Instrument() {
      if (keptSlave >= 0) close(keptSlave);
      if (master >= 0) close(master);
    }
    int master = -1;
    int keptSlave = -1;
    std::string slavePath;
    vozisim::Conversation conversation;
    vozisim::FrameParser parser;
    bool streaming = false;
    uint64_t next = 0;
    Clock::time_point start;
    std::unique_ptr<Slot[]> written;
  };

  Clock::time_point DueAt(const Instrument& in, uint64_t n) const {
    return in.start + std::chrono::duration_cast<Clock::duration>(period_ * static_cast<int64_t>(n));
  }

  void Write(Instrument& in, const std::string& line) {
    const std::string bytes = line + "\r\n";
    if (write(in.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) refused_.fetch_add(1);
  }

  void Answer(size_t index, Clock::time_point now) {
    Instrument& in = *instruments_[index];
    char buffer[512];
    std::vector<vozisim::Frame> frames;
    for (ssize_t n; (n = read(in.master, buffer, sizeof buffer)) > 0;) {
      in.parser.Feed(std::string_view(buffer, static_cast<size_t>(n)), now, frames);
    }
    for (const vozisim::Frame& frame : frames) {
      const vozisim::Conversation::Reply reply = in.conversation.Handle(frame.text);
      if (reply.stopStream) in.streaming = false;
      for (const std::string& line : reply.lines) Write(in, line);
      if (reply.startStream) {
        in.streaming = true;
        in.next = 0;
        in.start = now + period_ * static_cast<int64_t>(index) / static_cast<int64_t>(instruments_.size());
      }
    }
  }

  void SendDue(Instrument& in, Clock::time_point now) {
    for (; in.streaming && DueAt(in, in.next) <= now; ++in.next) {
      const std::string line = generator_.Line(in.next, period_.count()) + "\r\n";
      Slot& slot = in.written[in.next % kSlots];
      slot.sample.store(~0ull, std::memory_order_relaxed);
      slot.ticks.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
      slot.sample.store(in.next, std::memory_order_release);
      if (write(in.master, line.data(), line.size()) != static_cast<ssize_t>(line.size())) refused_.fetch_add(1);
    }
  }

  void Serve() {
    tid_.store(gettid());
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake at the due time, not up to 50 us later
    std::vector<pollfd> fds;
    for (auto& in : instruments_) fds.push_back({in->master, POLLIN, 0});
    while (!stop_.load()) {
      // Idle instruments only need to notice frames (and the end) in time.
      Clock::time_point due = Clock::now() + std::chrono::milliseconds(100);
      for (auto& in : instruments_) {
        if (in->streaming) due = std::min(due, DueAt(*in, in->next));
      }
      const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
      timespec ts{0, 0};
      if (wait.count() > 0) {
        ts = {static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
      }
      for (auto& p : fds) p.revents = 0;
      if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0) continue;
      const Clock::time_point now = Clock::now();
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents & POLLIN) Answer(i, now);
      }
      for (auto& in : instruments_) SendDue(*in, Clock::now());
    }
  }

  const vozisim::SimConfig cfg_;
  vozisim::SampleGenerator generator_;
  std::chrono::microseconds period_{1000};
  std::vector<std::unique_ptr<Instrument>> instruments_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> refused_{0};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
  pthread_t handle_{};
};

}  // namespace bench
