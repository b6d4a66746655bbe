#pragma once
// A diagnostic trace for the field: when an instrument misbehaves in a lab,
// what went over the wire and what the library made of it, per device and
// stamped to the microsecond. Off unless the environment variable VOZI_TRACE
// names a file as the library loads; then every frame sent, every line
// received, every change of the conversation's state and every start-up step
// is appended to that file, one line each:
//
//   <seconds since the trace began>.<microseconds> [<thread>] <port> <event>
//
// Off, each hook below costs one relaxed load and a branch, so it may sit on
// the reader thread's path. On, an event is formatted on the caller's stack
// and appended with one write under a lock held only for that write; the file
// stops at kMaxBytes. Nothing the host sees depends on whether it is on.
#include <atomic>
#include <cstdint>
#include <string_view>

namespace trace {

inline constexpr const char* kVariable = "VOZI_TRACE";
// A long run streams about 100 bytes per line into the trace; at a thousand
// lines a second this is ten minutes or so of a stream, and every start-up.
inline constexpr uint64_t kMaxBytes = uint64_t{64} << 20;

// At the library's load: opens the file VOZI_TRACE names, if any.
void Begin();
// At the library's unload. When the process is ending, the system has already
// ended the other threads wherever they were (inside the trace too): the
// trace then only turns off, and the process's end closes the file.
void End(bool processEnding);

namespace detail {
extern std::atomic<bool> gOn;
void Frame(std::u16string_view port, const uint8_t* bytes, int32_t length);
void Line(std::u16string_view port, const uint8_t* bytes, int32_t length, std::string_view ending);
void State(std::u16string_view port, const char* from, const char* to);
}  // namespace detail

// Relaxed is enough: Begin turns the trace on before any thread of the
// library exists, and the slow path takes the lock before it uses the file.
inline bool On() { return detail::gOn.load(std::memory_order_relaxed); }

inline void FrameSent(std::u16string_view port, const uint8_t* bytes, int32_t length) {
  if (On()) detail::Frame(port, bytes, length);
}
// A line as the reader took it from the wire: its bytes up to the LF, and
// the LF with whatever came along with it.
inline void LineReceived(std::u16string_view port, const uint8_t* bytes, int32_t length, std::string_view ending) {
  if (On()) detail::Line(port, bytes, length, ending);
}
// `from` may be null when the state was set whatever it was.
inline void StateChange(std::u16string_view port, const char* from, const char* to) {
  if (On()) detail::State(port, from, to);
}
// A start-up or close step, printf-style. Not inline (its argument list is
// variable), so it costs a call before the check: it sits only on paths that
// wait for milliseconds anyway.
void Step(std::u16string_view port, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace trace
