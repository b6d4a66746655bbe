#include "instrument_engine.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <thread>

#include "vozi_sim/recording.h"

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

Instrument::Engine::Engine(Instrument& owner, const SimConfig& cfg)
    : conversation(cfg),
      owner_(owner),
      cfg_(cfg),
      generator_(cfg),
      output_(cfg),
      longLine_(LongLine(cfg.longLineLength)) {}

bool Instrument::Engine::HostPresent() const { return watcher.HostPresent(); }

void Instrument::Engine::Run() {
  while (!owner_.stopRequested_.load(std::memory_order_acquire)) {
    const Clock::time_point top = Clock::now();
    const std::optional<Clock::time_point> wake = NextWake(top);
    const bool wantWrite = !output_.Empty() && !output_.ResumeAt();
    pollfd fds[3] = {
        {pty.Master(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
        {owner_.wakeFd_, POLLIN, 0},
        {watcher.Fd(), POLLIN, 0},
    };
    timespec timeout{};
    if (wake) timeout = ToTimespec(*wake - top);
    ppoll(fds, watcher.Fd() >= 0 ? 3 : 2, wake ? &timeout : nullptr, nullptr);

    if (owner_.hangUpRequested_.load(std::memory_order_acquire)) break;
    if (fds[1].revents & POLLIN) {
      eventfd_t ignored;
      eventfd_read(owner_.wakeFd_, &ignored);
    }
    const Clock::time_point now = Clock::now();
    // Opens first: a host's open always precedes the frames it writes.
    if (fds[2].revents & POLLIN) WatchOpens();
    if (fds[0].revents & POLLIN) ReadFrames(now);
    const bool dataStopped = owner_.dataStopRequested_.load(std::memory_order_acquire);
    if (dataStopped) generating_ = false;
    Generate(now);
    Flush(now);
    // No sample is queued any more: once the queue is out, the count of data
    // lines sent is final.
    if (dataStopped && output_.Empty()) owner_.allDataSent_.store(true, std::memory_order_release);
    if (hangUpPending_ && output_.Empty()) break;
  }
  if (owner_.hangUpRequested_.load(std::memory_order_acquire)) {
    HangUp();
  } else if (hangUpPending_) {
    LetHostReadTheRest();
    HangUp();
  }
}

std::optional<Clock::time_point> Instrument::Engine::NextWake(Clock::time_point now) const {
  std::optional<Clock::time_point> wake = output_.ResumeAt();
  if (!generating_) return wake;
  Clock::time_point due;
  if (cfg_.burst) {
    if (!HostPresent() || output_.PendingBytes() >= kBurstWatermark) return wake;
    due = now;
  } else {
    due = clock_.DueAt(nextSample_);
    if (clock_.Period() < kBatchQuantum) due = std::max(due, now + kBatchQuantum);
  }
  return wake ? std::min(*wake, due) : due;
}

void Instrument::Engine::WatchOpens() {
  if (watcher.Process() == OpenWatcher::Change::LastClosed) {
    // The host has gone: what it did not read is lost, as on a serial line,
    // and the next host must be able to open the port again.
    output_.Clear();
    pty.DiscardUnread();
    pty.ClearExclusive();
  }
  owner_.hostPresent_ = HostPresent();
}

void Instrument::Engine::ReadFrames(Clock::time_point now) {
  char buffer[4096];
  std::vector<Frame> frames;
  for (;;) {
    const long n = pty.Read(buffer, sizeof buffer);
    if (n <= 0) break;
    parser_.Feed(std::string_view(buffer, static_cast<size_t>(n)), now, frames);
  }
  for (const Frame& f : frames) HandleFrame(f, now);
}

void Instrument::Engine::HandleFrame(const Frame& frame, Clock::time_point now) {
  owner_.frames_.Add(frame);
  if (owner_.listener_) owner_.listener_(frame);
  Conversation::Reply r = conversation.Handle(frame.text);
  if (r.stopStream) generating_ = false;
  if (HostPresent()) {
    for (const std::string& line : r.lines) output_.PushLine(line, false);
  }
  if (r.startStream && !hangUpPending_) {
    clock_.Start(now, conversation.PeriodMicros());
    nextSample_ = 0;
    generating_ = true;
  }
  if (r.periodChanged) {
    owner_.periodUs_ = conversation.PeriodMicros();
    if (generating_) clock_.ChangePeriod(now, conversation.PeriodMicros(), nextSample_);
  }
  if (r.endOfConversation) owner_.xReceived_ = true;
  owner_.streaming_ = conversation.Streaming();
}

void Instrument::Engine::Generate(Clock::time_point now) {
  if (!generating_) return;
  if (cfg_.burst) {
    // No pacing: keep the queue topped up while someone listens; the pty
    // refusing our writes is the only brake.
    while (generating_ && HostPresent() && output_.PendingBytes() < kBurstWatermark) {
      if (cfg_.recording && cfg_.recording->Ended(nextSample_)) {
        generating_ = false;
        break;
      }
      QueueDataLine(nextSample_++);
    }
    return;
  }
  const uint64_t due = clock_.DueBy(now);
  for (; generating_ && nextSample_ < due; ++nextSample_) {
    if (cfg_.recording && cfg_.recording->Ended(nextSample_)) {
      generating_ = false;
      break;
    }
    if (!HostPresent() || output_.PendingBytes() > kMaxPendingBytes) {
      owner_.dataLinesDropped_.fetch_add(1, std::memory_order_acq_rel);
      continue;
    }
    QueueDataLine(nextSample_);
  }
}

void Instrument::Engine::QueueDataLine(uint64_t n) {
  if (cfg_.recording) {
    // A recording's gap is a line the instrument never sent; past its end
    // (without loop) the stream goes on without lines.
    const std::optional<std::string> line = cfg_.recording->Line(n);
    if (!line) return;
    output_.PushLine(*line, true);
  } else {
    output_.PushLine(generator_.Line(n, conversation.PeriodMicros()), true);
  }
  ++dataQueued_;
  const bool longDue = cfg_.longLineEvery > 0 && dataQueued_ % cfg_.longLineEvery == 0 &&
                       !(cfg_.longLineOnce && longLinesQueued_ > 0);
  if (longDue) {
    output_.PushLine(longLine_, false);
    ++longLinesQueued_;
  }
  if (cfg_.hangUpAfter > 0 && dataQueued_ >= cfg_.hangUpAfter) {
    generating_ = false;
    hangUpPending_ = true;
  }
}

void Instrument::Engine::Flush(Clock::time_point now) {
  const size_t pending = output_.PendingBytes();
  const auto result = output_.Flush([this](const char* p, size_t n) { return pty.Write(p, n); }, now);
  if (result == OutputQueue::FlushResult::Failed) output_.Clear();
  if (output_.PendingBytes() < pending) pty.HandOver();
  owner_.linesSent_.store(output_.LinesWritten(), std::memory_order_release);
  owner_.dataLinesSent_.store(output_.DataLinesWritten(), std::memory_order_release);
}

void Instrument::Engine::LetHostReadTheRest() {
  // An instrument unplugged after its last line has sent that line, but
  // closing the master discards what the host has not read yet: wait while
  // the host keeps taking it, however slowly, and give up only on a host that
  // has stopped reading (two seconds without progress).
  constexpr auto kNoProgress = std::chrono::seconds(2);
  int unread = pty.Unread();
  Clock::time_point progress = Clock::now();
  while (unread > 0 && Clock::now() - progress < kNoProgress &&
         !owner_.stopRequested_.load(std::memory_order_acquire)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int left = pty.Unread();
    if (left < unread) progress = Clock::now();
    unread = left;
  }
}

void Instrument::Engine::HangUp() {
  // Published before the close, so a host that sees the hang-up also sees
  // the instrument report it.
  generating_ = false;
  owner_.streaming_ = false;
  owner_.hungUp_ = true;
  owner_.running_ = false;
  watcher.Stop();
  pty.Close();
}

}  // namespace vozisim
