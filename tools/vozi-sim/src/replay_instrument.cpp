#include "vozi_sim/replay_instrument.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <iostream>
#include <optional>
#include <thread>

#include "open_watcher.h"
#include "pseudo_terminal.h"
#include "vozi_sim/frame_parser.h"

namespace vozisim {
namespace {

using Clock = std::chrono::steady_clock;

std::string Shown(const std::string& raw) {
  std::string s = "\"";
  for (unsigned char c : raw) {
    if (c == '\n') {
      s += "\\n";
    } else if (c == '\r') {
      s += "\\r";
    } else if (c < 0x20 || c > 0x7e) {
      static const char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[c >> 4];
      s += hex[c & 15];
    } else {
      s += static_cast<char>(c);
    }
  }
  return s + "\"";
}

}  // namespace

struct ReplayInstrument::Engine {
  struct Due {
    Clock::time_point at;
    const ReplayOutput* output;
  };

  Engine(ReplayInstrument& owner) : owner_(owner) {}

  PseudoTerminal pty;
  OpenWatcher watcher;

  void Run() {
    if (watcher.Fd() < 0) Schedule(owner_.script_.atOpen, Clock::now());
    while (!owner_.stopRequested_.load(std::memory_order_acquire) && pty.IsOpen()) {
      const bool wantWrite = !unwritten_.empty();
      pollfd fds[3] = {
          {pty.Master(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
          {owner_.wakeFd_, POLLIN, 0},
          {watcher.Fd(), POLLIN, 0},
      };
      timespec timeout{};
      if (!due_.empty()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due_.front().at - Clock::now()).count();
        const long long wait = ns > 0 ? ns : 0;
        timeout = timespec{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
      }
      ppoll(fds, watcher.Fd() >= 0 ? 3 : 2, due_.empty() ? nullptr : &timeout, nullptr);
      if (fds[1].revents & POLLIN) {
        eventfd_t ignored;
        eventfd_read(owner_.wakeFd_, &ignored);
      }
      if (fds[2].revents & POLLIN) WatchOpens();
      if (fds[0].revents & POLLIN) ReadFrames();
      Emit(Clock::now());
      Write();
      if (hangUpPending_ && unwritten_.empty()) HangUp();
      CheckFinished();
    }
  }

 private:
  void Schedule(const std::vector<ReplayOutput>& outputs, Clock::time_point from) {
    for (const ReplayOutput& o : outputs) {
      const auto pause = std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(o.afterMicros) / owner_.speed_));
      due_.push_back(Due{from + pause, &o});
    }
  }

  void WatchOpens() {
    const OpenWatcher::Change change = watcher.Process();
    if (change == OpenWatcher::Change::FirstOpened && !opened_) {
      opened_ = true;
      Schedule(owner_.script_.atOpen, Clock::now());
    } else if (change == OpenWatcher::Change::LastClosed) {
      // What the host did not read is lost with it, as on a serial line; the
      // trace's lines after that moment never reached any host either.
      due_.clear();
      unwritten_.clear();
      pty.DiscardUnread();
      pty.ClearExclusive();
    }
  }

  void ReadFrames() {
    char buffer[4096];
    std::vector<Frame> frames;
    for (;;) {
      const long n = pty.Read(buffer, sizeof buffer);
      if (n <= 0) break;
      parser_.Feed(std::string_view(buffer, static_cast<size_t>(n)), Clock::now(), frames);
    }
    for (const Frame& f : frames) HandleFrame(f);
  }

  void HandleFrame(const Frame& frame) {
    if (owner_.diverged_.load(std::memory_order_relaxed)) return;
    const std::vector<ReplayStep>& steps = owner_.script_.steps;
    const std::string* last = next_ > 0 ? &steps[next_ - 1].frame : nullptr;
    size_t match = next_;
    if (match >= steps.size() || frame.raw != steps[match].frame) {
      // A host repeats an unanswered frame on its own clock (every 20 ms in
      // a greeting), so the count of repeats is a matter of time, not of the
      // instrument: one more than the field run is answered as that run's
      // instrument did the extra (with nothing), and fewer skip the field's
      // unanswered ones.
      if (last != nullptr && frame.raw == *last) return;
      while (last != nullptr && match < steps.size() && steps[match].frame == *last && steps[match].outputs.empty()) {
        ++match;
      }
      if (match >= steps.size() || frame.raw != steps[match].frame) {
        std::string why = "the host sent " + Shown(frame.raw) + ", where the trace has ";
        why += next_ < steps.size() ? Shown(steps[next_].frame) + " (line " + std::to_string(steps[next_].line) + ")"
                                    : "no more frames";
        why += "; silent from here";
        due_.clear();
        owner_.diverged_.store(true, std::memory_order_release);
        owner_.complain_(why);
        return;
      }
    }
    // Lines still due from the frame before came, in the field, before this
    // frame was answered: they go out now, whatever their pause.
    Emit(Clock::time_point::max());
    Schedule(steps[match].outputs, frame.received);
    next_ = match + 1;
  }

  void Emit(Clock::time_point now) {
    while (!due_.empty() && due_.front().at <= now && !hangUpPending_) {
      const ReplayOutput& o = *due_.front().output;
      due_.pop_front();
      if (o.hangUp) {
        hangUpPending_ = true;
        due_.clear();
      } else {
        unwritten_ += o.bytes;
      }
    }
  }

  void Write() {
    bool wrote = false;
    while (!unwritten_.empty()) {
      const long n = pty.Write(unwritten_.data(), unwritten_.size());
      if (n <= 0) break;
      unwritten_.erase(0, static_cast<size_t>(n));
      wrote = true;
    }
    if (wrote) pty.HandOver();
  }

  void HangUp() {
    // The host read everything before the hang-up in the field: let it read
    // what was written before closing, unless it stops reading.
    int unread = pty.Unread();
    Clock::time_point progress = Clock::now();
    while (unread > 0 && Clock::now() - progress < std::chrono::seconds(2) &&
           !owner_.stopRequested_.load(std::memory_order_acquire)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const int left = pty.Unread();
      if (left < unread) progress = Clock::now();
      unread = left;
    }
    owner_.hungUp_.store(true, std::memory_order_release);
    watcher.Stop();
    pty.Close();
  }

  void CheckFinished() {
    if (next_ == owner_.script_.steps.size() && due_.empty() && unwritten_.empty() && (opened_ || watcher.Fd() < 0)) {
      owner_.finished_.store(true, std::memory_order_release);
    }
  }

  ReplayInstrument& owner_;
  FrameParser parser_;
  std::deque<Due> due_;
  std::string unwritten_;
  size_t next_ = 0;
  bool opened_ = false;
  bool hangUpPending_ = false;
};

ReplayInstrument::ReplayInstrument(ReplayScript script, double speed)
    : script_(std::move(script)), speed_(speed > 0 ? speed : 1.0) {
  complain_ = [](const std::string& why) { std::cerr << "vozi-sim: replay: " << why << std::endl; };
}

ReplayInstrument::~ReplayInstrument() { Stop(); }

void ReplayInstrument::SetComplaintListener(std::function<void(const std::string&)> listener) {
  complain_ = std::move(listener);
}

bool ReplayInstrument::Start() {
  Stop();
  auto engine = std::make_unique<Engine>(*this);
  if (std::string err = engine->pty.Open(); !err.empty()) {
    error_ = err;
    return false;
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    error_ = "eventfd failed";
    return false;
  }
  slavePath_ = engine->pty.SlavePath();
  engine->watcher.Watch(slavePath_);
  engine_ = std::move(engine);
  stopRequested_ = false;
  hungUp_ = false;
  diverged_ = false;
  finished_ = false;
  thread_ = std::thread([this] { engine_->Run(); });
  return true;
}

void ReplayInstrument::Stop() {
  stopRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
  if (thread_.joinable()) thread_.join();
  engine_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

}  // namespace vozisim
