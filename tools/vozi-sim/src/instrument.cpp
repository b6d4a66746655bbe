#include "vozi_sim/instrument.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "open_watcher.h"
#include "pseudo_terminal.h"
#include "vozi_sim/conversation.h"
#include "vozi_sim/output_queue.h"
#include "vozi_sim/stream_clock.h"

namespace vozisim {
namespace {

using Clock = std::chrono::steady_clock;

// Below this period one wake-up per line would ask more of the scheduler than
// it can give; lines are then sent in batches once per quantum.
constexpr std::chrono::microseconds kBatchQuantum{1000};
// A paced stream whose host does not drain keeps at most this much queued;
// later samples are dropped, as a serial line would lose them.
constexpr size_t kMaxPendingBytes = 1 << 20;
// Burst mode refills the queue up to this much and lets the pty decide.
constexpr size_t kBurstWatermark = 64 * 1024;

std::string LongLine(int length) {
  // Looks like a data line of zeros, so a host that cuts it into pieces and
  // decodes them shows the mistake in its output.
  std::string line(static_cast<size_t>(length), '0');
  for (size_t i = 1; i < line.size(); i += 2) line[i] = ',';
  return line;
}

timespec ToTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

struct Instrument::Engine {
  explicit Engine(const SimConfig& cfg)
      : conversation(cfg), generator(cfg), output(cfg), longLine(LongLine(cfg.longLineLength)) {}

  PseudoTerminal pty;
  OpenWatcher watcher;
  FrameParser parser;
  Conversation conversation;
  SampleGenerator generator;
  OutputQueue output;
  StreamClock clock;
  const std::string longLine;
  bool generating = false;
  uint64_t nextSample = 0;
  uint64_t dataQueued = 0;  // data lines queued since Start, for the faults
  uint64_t longLinesQueued = 0;
  bool hangUpPending = false;
};

Instrument::Instrument(SimConfig cfg) : cfg_(std::move(cfg)) {}

Instrument::~Instrument() { Stop(); }

void Instrument::SetFrameListener(std::function<void(const Frame&)> listener) {
  listener_ = std::move(listener);
}

bool Instrument::Start() {
  Stop();
  if (auto err = Validate(cfg_)) {
    error_ = *err;
    return false;
  }
  auto engine = std::make_unique<Engine>(cfg_);
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
  hostPresent_ = engine->watcher.HostPresent();
  periodUs_ = engine->conversation.PeriodMicros();
  engine_ = std::move(engine);
  frames_.Clear();
  for (auto* counter : {&linesSent_, &dataLinesSent_, &dataLinesDropped_}) *counter = 0;
  stopRequested_ = false;
  hangUpRequested_ = false;
  hungUp_ = false;
  streaming_ = false;
  xReceived_ = false;
  error_.clear();
  running_ = true;
  thread_ = std::thread(&Instrument::Run, this);
  return true;
}

void Instrument::Stop() {
  stopRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
  if (thread_.joinable()) thread_.join();
  engine_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
  running_ = false;
}

void Instrument::HangUp() {
  hangUpRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
  if (thread_.joinable()) thread_.join();
}

void Instrument::Run() {
  Engine& e = *engine_;

  auto publishCounters = [&] {
    linesSent_.store(e.output.LinesWritten(), std::memory_order_release);
    dataLinesSent_.store(e.output.DataLinesWritten(), std::memory_order_release);
  };

  auto hangUp = [&] {
    // Published before the close, so a host that sees the hang-up also sees
    // the instrument report it.
    e.generating = false;
    streaming_ = false;
    hungUp_ = true;
    running_ = false;
    e.watcher.Stop();
    e.pty.Close();
  };

  auto queueDataLine = [&](uint64_t n) {
    e.output.PushLine(e.generator.Line(n, e.conversation.PeriodMicros()), true);
    ++e.dataQueued;
    const bool longDue = cfg_.longLineEvery > 0 && e.dataQueued % cfg_.longLineEvery == 0 &&
                         !(cfg_.longLineOnce && e.longLinesQueued > 0);
    if (longDue) {
      e.output.PushLine(e.longLine, false);
      ++e.longLinesQueued;
    }
    if (cfg_.hangUpAfter > 0 && e.dataQueued >= cfg_.hangUpAfter) {
      e.generating = false;
      e.hangUpPending = true;
    }
  };

  auto generate = [&](Clock::time_point now) {
    if (!e.generating) return;
    if (cfg_.burst) {
      // No pacing: keep the queue topped up while someone listens; the pty
      // blocking our writes is the only brake.
      while (e.generating && HostPresent() && e.output.PendingBytes() < kBurstWatermark) {
        queueDataLine(e.nextSample++);
      }
      return;
    }
    const uint64_t due = e.clock.DueBy(now);
    for (; e.generating && e.nextSample < due; ++e.nextSample) {
      if (!HostPresent() || e.output.PendingBytes() > kMaxPendingBytes) {
        dataLinesDropped_.fetch_add(1, std::memory_order_acq_rel);
        continue;
      }
      queueDataLine(e.nextSample);
    }
  };

  auto handleFrame = [&](const Frame& frame, Clock::time_point now) {
    frames_.Add(frame);
    if (listener_) listener_(frame);
    Conversation::Reply r = e.conversation.Handle(frame.text);
    if (r.stopStream) e.generating = false;
    if (HostPresent()) {
      for (const std::string& line : r.lines) e.output.PushLine(line, false);
    }
    if (r.startStream && !e.hangUpPending) {
      e.clock.Start(now, e.conversation.PeriodMicros());
      e.nextSample = 0;
      e.generating = true;
    }
    if (r.periodChanged) {
      periodUs_ = e.conversation.PeriodMicros();
      if (e.generating) e.clock.ChangePeriod(now, e.conversation.PeriodMicros(), e.nextSample);
    }
    if (r.endOfConversation) xReceived_ = true;
    streaming_ = e.conversation.Streaming();
  };

  auto readFrames = [&](Clock::time_point now) {
    char buffer[4096];
    std::vector<Frame> frames;
    for (;;) {
      const long n = e.pty.Read(buffer, sizeof buffer);
      if (n <= 0) break;
      e.parser.Feed(std::string_view(buffer, static_cast<size_t>(n)), now, frames);
    }
    for (const Frame& f : frames) handleFrame(f, now);
  };

  auto watchOpens = [&] {
    if (e.watcher.Process() == OpenWatcher::Change::LastClosed) {
      // The host has gone: what it did not read is lost, as on a serial line,
      // and the next host must be able to open the port again.
      e.output.Clear();
      e.pty.DiscardUnread();
      e.pty.ClearExclusive();
    }
    hostPresent_ = e.watcher.HostPresent();
  };

  auto nextWake = [&](Clock::time_point now) -> std::optional<Clock::time_point> {
    std::optional<Clock::time_point> wake = e.output.ResumeAt();
    if (!e.generating) return wake;
    Clock::time_point due;
    if (cfg_.burst) {
      if (!HostPresent() || e.output.PendingBytes() >= kBurstWatermark) return wake;
      due = now;
    } else {
      due = e.clock.DueAt(e.nextSample);
      if (e.clock.Period() < kBatchQuantum) due = std::max(due, now + kBatchQuantum);
    }
    return wake ? std::min(*wake, due) : due;
  };

  while (!stopRequested_.load(std::memory_order_acquire)) {
    const Clock::time_point top = Clock::now();
    const std::optional<Clock::time_point> wake = nextWake(top);
    const bool wantWrite = !e.output.Empty() && !e.output.ResumeAt();
    pollfd fds[3] = {
        {e.pty.Master(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
        {wakeFd_, POLLIN, 0},
        {e.watcher.Fd(), POLLIN, 0},
    };
    timespec timeout{};
    if (wake) timeout = ToTimespec(*wake - top);
    ppoll(fds, e.watcher.Fd() >= 0 ? 3 : 2, wake ? &timeout : nullptr, nullptr);

    if (hangUpRequested_.load(std::memory_order_acquire)) break;
    if (fds[1].revents & POLLIN) {
      eventfd_t ignored;
      eventfd_read(wakeFd_, &ignored);
    }
    const Clock::time_point now = Clock::now();
    // Opens first: a host's open always precedes the frames it writes.
    if (fds[2].revents & POLLIN) watchOpens();
    if (fds[0].revents & POLLIN) readFrames(now);
    generate(now);
    if (e.output.Flush([&](const char* p, size_t n) { return e.pty.Write(p, n); }, now) ==
        OutputQueue::FlushResult::Failed) {
      e.output.Clear();
    }
    publishCounters();
    if (e.hangUpPending && e.output.Empty()) break;
  }
  publishCounters();
  if (hangUpRequested_.load(std::memory_order_acquire) || e.hangUpPending) hangUp();
}

}  // namespace vozisim
