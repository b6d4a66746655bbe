#include "vozi_sim/trace_file.h"

#include <cctype>
#include <chrono>

#include "vozi_sim/frame_parser.h"

namespace vozisim {
namespace {

constexpr std::string_view kHeading = "# vozi trace of process ";
constexpr std::string_view kTruncated = "# trace truncated";
// The step the library writes when a read from the port fails: the line hung
// up (or the adapter went away) just there.
constexpr std::string_view kPortFailed = "reader parked: the port failed";

std::string At(int line, const std::string& why) { return "line " + std::to_string(line) + ": " + why; }

bool Digits(std::string_view& s, uint64_t& value, size_t maxDigits) {
  size_t n = 0;
  value = 0;
  while (n < s.size() && n < maxDigits && std::isdigit(static_cast<unsigned char>(s[n]))) {
    value = value * 10 + static_cast<uint64_t>(s[n] - '0');
    ++n;
  }
  if (n == 0 || (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n])))) return false;
  s.remove_prefix(n);
  return true;
}

bool Take(std::string_view& s, std::string_view prefix) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  return true;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `"<escaped bytes>"` and, for a cut one, `... (<N> bytes)`.
std::optional<std::string> Quoted(std::string_view s, std::string& bytes, uint64_t& full) {
  if (!Take(s, "\"")) return "the bytes do not begin with a double quote";
  bytes.clear();
  for (;;) {
    if (s.empty()) return "the bytes have no closing double quote";
    const char c = s.front();
    s.remove_prefix(1);
    if (c == '"') break;
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) {
      return "a raw byte that the trace always escapes";
    }
    if (c != '\\') {
      bytes += c;
      continue;
    }
    if (s.empty()) return "an escape cut short";
    const char e = s.front();
    s.remove_prefix(1);
    switch (e) {
      case '"': bytes += '"'; break;
      case '\\': bytes += '\\'; break;
      case 'r': bytes += '\r'; break;
      case 'n': bytes += '\n'; break;
      case 't': bytes += '\t'; break;
      case 'x': {
        const int hi = s.size() >= 2 ? Hex(s[0]) : -1;
        const int lo = s.size() >= 2 ? Hex(s[1]) : -1;
        if (hi < 0 || lo < 0) return "\\x without two hex digits";
        bytes += static_cast<char>(hi * 16 + lo);
        s.remove_prefix(2);
        break;
      }
      default: return std::string("an unknown escape \\") + e;
    }
  }
  full = bytes.size();
  if (s.empty()) return std::nullopt;
  uint64_t total = 0;
  if (!Take(s, "... (") || !Digits(s, total, 19) || !Take(s, " bytes)") || !s.empty()) {
    return "unexpected text after the bytes";
  }
  if (total <= bytes.size()) return "a cut line said to be no longer than what it shows";
  full = total;
  return std::nullopt;
}

std::optional<std::string> ParseEvent(std::string_view s, TraceEvent& e) {
  uint64_t seconds = 0, fraction = 0, thread = 0;
  const std::string_view start = s;
  if (!Digits(s, seconds, 14) || !Take(s, ".")) return "no time stamp (<seconds>.<microseconds>)";
  const size_t before = s.size();
  if (!Digits(s, fraction, 6) || before - s.size() != 6) return "the stamp's fraction is not six digits";
  if (!Take(s, " [") || !Digits(s, thread, 20) || !Take(s, "] ")) return "no [thread] after the stamp";
  const size_t space = s.find(' ');
  if (space == 0 || space == std::string_view::npos) return "no port and event after the thread";
  e.port = std::string(s.substr(0, space));
  s.remove_prefix(space + 1);
  e.micros = seconds * 1000000 + fraction;
  if (Take(s, "sent ")) {
    e.kind = TraceEvent::Kind::Sent;
  } else if (Take(s, "recv ")) {
    e.kind = TraceEvent::Kind::Recv;
  } else if (Take(s, "state ")) {
    e.kind = TraceEvent::Kind::State;
  } else if (Take(s, "step ")) {
    e.kind = TraceEvent::Kind::Step;
  } else {
    return "unknown event (not sent, recv, state or step)";
  }
  (void)start;
  if (e.kind == TraceEvent::Kind::State || e.kind == TraceEvent::Kind::Step) {
    if (s.empty()) return "an empty state or step";
    e.text = std::string(s);
    return std::nullopt;
  }
  if (auto err = Quoted(s, e.text, e.fullLength)) return *err;
  if (e.text.empty()) return "empty bytes";
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ParseTrace(std::string_view text, TraceFile& out) {
  out = TraceFile{};
  if (text.empty()) return At(1, "the file is empty: not a vozi trace");
  uint64_t base = 0;  // where the current session's stamps begin
  uint64_t last = 0;
  bool stopped = false;  // after a truncation note only a new heading may follow
  int number = 0;
  size_t at = 0;
  while (at < text.size()) {
    ++number;
    const size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      return At(number, "cut short (no end of line): the trace is truncated");
    }
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (line.substr(0, kHeading.size()) == kHeading) {
      base = last;
      stopped = false;
      continue;
    }
    if (number == 1) return At(1, "not a vozi trace (it does not begin with \"# vozi trace of process\")");
    if (line.substr(0, kTruncated.size()) == kTruncated) {
      out.truncated = true;
      stopped = true;
      continue;
    }
    if (stopped) return At(number, "an event after the trace's truncation note");
    TraceEvent e;
    if (auto err = ParseEvent(line, e)) return At(number, *err);
    e.micros += base;
    if (e.micros < last) return At(number, "the time stamp goes back");
    last = e.micros;
    e.line = number;
    bool known = false;
    for (const std::string& p : out.ports) known = known || p == e.port;
    if (!known) out.ports.push_back(e.port);
    out.events.push_back(std::move(e));
  }
  return std::nullopt;
}

namespace {

std::optional<size_t> ChooseDevice(const TraceFile& trace, const std::string& device) {
  if (device.empty()) return trace.ports.empty() ? std::nullopt : std::optional<size_t>(0);
  bool number = true;
  for (char c : device) number = number && std::isdigit(static_cast<unsigned char>(c));
  if (number && device.size() < 6) {
    const size_t n = std::stoul(device);
    if (n < trace.ports.size()) return n;
    return std::nullopt;
  }
  for (size_t i = 0; i < trace.ports.size(); ++i) {
    const std::string& p = trace.ports[i];
    if (p == device) return i;
  }
  // The last part of a port: "ttyUSB1" for ".../dev/ttyUSB1", only when it
  // names one port alone.
  std::optional<size_t> found;
  for (size_t i = 0; i < trace.ports.size(); ++i) {
    const std::string& p = trace.ports[i];
    const bool ends = p.size() > device.size() && p.compare(p.size() - device.size(), device.size(), device) == 0 &&
                      p[p.size() - device.size() - 1] == '/';
    if (!ends) continue;
    if (found) return std::nullopt;
    found = i;
  }
  return found;
}

}  // namespace

std::optional<std::string> BuildReplayScript(const TraceFile& trace, const std::string& device, ReplayScript& out) {
  out = ReplayScript{};
  const std::optional<size_t> chosen = ChooseDevice(trace, device);
  if (!chosen) {
    std::string known;
    for (size_t i = 0; i < trace.ports.size(); ++i) {
      known += (i ? ", " : "") + std::to_string(i) + " = " + trace.ports[i];
    }
    if (trace.ports.empty()) return std::string("the trace holds no device");
    return "no device \"" + device + "\" in the trace (it holds " + known + ")";
  }
  out.device = *chosen;
  out.port = trace.ports[*chosen];
  uint64_t anchor = 0;
  bool anchored = false;
  std::vector<ReplayOutput>* outputs = &out.atOpen;
  for (const TraceEvent& e : trace.events) {
    if (e.port != out.port) continue;
    if (!anchored) {
      anchor = e.micros;
      anchored = true;
    }
    if (e.kind == TraceEvent::Kind::Sent) {
      // One write may hold several frames; the instrument sees each.
      FrameParser parser;
      std::vector<Frame> frames;
      parser.Feed(e.text, std::chrono::steady_clock::time_point{}, frames);
      if (frames.empty()) {
        out.notes.push_back("line " + std::to_string(e.line) + ": the host sent bytes that hold no frame; not replayed");
        continue;
      }
      for (Frame& f : frames) {
        out.steps.push_back(ReplayStep{std::move(f.raw), e.line, {}});
      }
      outputs = &out.steps.back().outputs;
      anchor = e.micros;
    } else if (e.kind == TraceEvent::Kind::Recv) {
      std::string bytes = e.text;
      if (e.fullLength > bytes.size()) {
        // The trace keeps only the start of an over-long line; the rest is
        // made up, of the same length, so that the host sees as much.
        out.notes.push_back("line " + std::to_string(e.line) + ": a line of " + std::to_string(e.fullLength) +
                            " bytes shows only its first " + std::to_string(bytes.size()) +
                            "; the rest is replayed as '0' bytes ending in LF");
        bytes.resize(e.fullLength - 1, '0');
        bytes += '\n';
      }
      outputs->push_back(ReplayOutput{e.micros - anchor, std::move(bytes), false, e.line});
    } else if (e.kind == TraceEvent::Kind::Step && e.text == kPortFailed) {
      outputs->push_back(ReplayOutput{e.micros - anchor, {}, true, e.line});
    }
  }
  return std::nullopt;
}

}  // namespace vozisim
