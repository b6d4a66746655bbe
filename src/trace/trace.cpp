#include "trace/trace.h"

#include <cstdarg>
#include <mutex>
#include <new>

#include "platform/deadline.h"
#include "platform/thread.h"
#include "platform/trace_file.h"
#include "trace/trace_line.h"

namespace trace {
namespace detail {
std::atomic<bool> gOn{false};
}

namespace {

constexpr std::string_view kTruncated = "# trace truncated: the file reached its limit of 64 MiB\n";

struct Sink {
  std::mutex lock;
  platform::AppendFile file;  // under lock; closed when ended or full
  uint64_t written = 0;       // under lock
  uint64_t start = 0;         // set before the trace turns on
};

// Never destroyed: on Linux the C++ run-time destroys statics at exit before
// the library's own unload runs, and the devices that unload closes still
// trace their close. Kept in the library's own storage, not on the heap, so
// that unloading leaves nothing behind. Begin, at load, makes it first.
Sink& TheSink() {
  alignas(Sink) static unsigned char storage[sizeof(Sink)];
  static Sink* const sink = new (storage) Sink;
  return *sink;
}

// The line's head: thread and port. The event follows.
void Head(TraceLine& line, std::u16string_view port) {
  line.Text("[");
  line.Number(platform::CurrentThreadId());
  line.Text("] ");
  line.Name(port);
  line.Text(" ");
}

void Emit(TraceLine& line) {
  Sink& sink = TheSink();
  // The stamp is taken under the lock, so the file's order is the stamps'
  // order even when several threads trace at once.
  const std::lock_guard<std::mutex> guard(sink.lock);
  if (!sink.file.IsOpen()) return;
  const std::string_view text = line.Finish(platform::MonotonicMicroseconds() - sink.start);
  if (sink.written + text.size() + kTruncated.size() > kMaxBytes) {
    sink.file.Append(kTruncated.data(), kTruncated.size());
    sink.file.Close();
    detail::gOn.store(false, std::memory_order_relaxed);
    return;
  }
  sink.written += text.size();
  sink.file.Append(text.data(), text.size());
}

void Bytes(std::u16string_view port, const char* what, const uint8_t* bytes, int32_t length,
           std::string_view ending) {
  TraceLine line;
  Head(line, port);
  line.Text(what);
  line.Quoted(bytes, length > 0 ? static_cast<size_t>(length) : 0, ending);
  Emit(line);
}

}  // namespace

void Begin() {
  // The library loads whether or not its trace can start.
  try {
    Sink& sink = TheSink();
    const std::lock_guard<std::mutex> guard(sink.lock);
    if (sink.file.IsOpen()) return;
    if (sink.file.OpenNamedBy(kVariable) != platform::AppendFile::Opened::Yes) return;
    sink.start = platform::MonotonicMicroseconds();
    TraceLine line;
    line.Text("# vozi trace of process ");
    line.Number(platform::CurrentProcessId());
    line.Text(": <seconds since this line> [<thread>] <port> <event>");
    const std::string_view text = line.FinishUnstamped();
    sink.file.Append(text.data(), text.size());
    sink.written = text.size();
    detail::gOn.store(true, std::memory_order_release);
  } catch (...) {
  }
}

void End(bool processEnding) {
  detail::gOn.store(false, std::memory_order_relaxed);
  if (processEnding) return;
  Sink& sink = TheSink();
  const std::lock_guard<std::mutex> guard(sink.lock);
  sink.file.Close();
}

namespace detail {

void Frame(std::u16string_view port, const uint8_t* bytes, int32_t length) { Bytes(port, "sent ", bytes, length, {}); }

void Line(std::u16string_view port, const uint8_t* bytes, int32_t length, std::string_view ending) {
  Bytes(port, "recv ", bytes, length, ending);
}

void State(std::u16string_view port, const char* from, const char* to) {
  TraceLine line;
  Head(line, port);
  line.Text("state ");
  if (from != nullptr) {
    line.Text(from);
    line.Text(" -> ");
  }
  line.Text(to);
  Emit(line);
}

}  // namespace detail

void Step(std::u16string_view port, const char* format, ...) {
  if (!On()) return;
  TraceLine line;
  Head(line, port);
  line.Text("step ");
  va_list arguments;
  va_start(arguments, format);
  line.Format(format, arguments);
  va_end(arguments);
  Emit(line);
}

}  // namespace trace
