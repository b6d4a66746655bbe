#pragma once
// Reads a trace the library wrote (VOZI_TRACE) and cuts out one device's
// conversation as the instrument saw it: the frames the host sent, in order,
// and after each one the lines the instrument answered with, with the pauses
// the trace recorded, and whether the line hung up.
//
// A trace line is
//   <seconds>.<6 digits> [<thread>] <port> sent|recv|state|step <text>
// under a heading "# vozi trace of process N: ...". A file may hold several
// headings (the library appends; each load of it starts one); the stamps of
// each begin again at 0, so a later one is placed after the earlier.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vozisim {

struct TraceEvent {
  enum class Kind { Sent, Recv, State, Step };
  Kind kind = Kind::Step;
  uint64_t micros = 0;  // from the first heading, sessions placed one after another
  std::string port;
  std::string text;        // sent/recv: the bytes, unescaped; state/step: the text
  uint64_t fullLength = 0; // sent/recv: the length on the wire (more than text when cut)
  int line = 0;            // 1-based line in the file
};

struct TraceFile {
  std::vector<TraceEvent> events;
  std::vector<std::string> ports;  // in order of first appearance
  bool truncated = false;          // the library stopped it at its size limit
};

// Parses the whole file's text. On failure returns "line N: why".
std::optional<std::string> ParseTrace(std::string_view text, TraceFile& out);

// What the instrument sends at one moment: a line (bytes as the host read
// them) or the hang-up.
struct ReplayOutput {
  uint64_t afterMicros = 0;  // after the frame it answers (or the first open)
  std::string bytes;
  bool hangUp = false;
  int line = 0;
};

struct ReplayStep {
  std::string frame;  // the raw frame the host sent, ':' to LF
  int line = 0;
  std::vector<ReplayOutput> outputs;
};

struct ReplayScript {
  std::string port;
  size_t device = 0;                  // its place among the trace's ports
  std::vector<ReplayOutput> atOpen;   // lines before the host's first frame
  std::vector<ReplayStep> steps;
  std::vector<std::string> notes;     // what the replay cannot reproduce exactly
};

// `device` is empty (the first port), a number (by order of appearance) or a
// port (as the trace writes it, or its last part, e.g. "ttyUSB1").
std::optional<std::string> BuildReplayScript(const TraceFile& trace, const std::string& device,
                                             ReplayScript& out);

}  // namespace vozisim
