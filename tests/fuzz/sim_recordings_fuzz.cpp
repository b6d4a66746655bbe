// What vozi-sim reads from files a user hands it: a library trace to replay
// and a vozi-host CSV to play. The first input byte picks the reader (even:
// the trace, odd: the CSV); the rest is the file. Either reader must refuse
// what it cannot use with "line N: ...", and what it accepts must hold
// together: stamps in order, every frame a whole frame, rows at increasing
// positions from 0, every value within the range announced for it, and a
// data line for every row with one field per channel and the time.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "vozi_sim/recording.h"
#include "vozi_sim/trace_file.h"

namespace {

void CheckError(const std::string& error, std::string_view input) {
  FUZZ_CHECK(error.rfind("line ", 0) == 0, error + " for " + fuzz::Printable(input));
}

void Trace(std::string_view text) {
  vozisim::TraceFile trace;
  if (auto error = vozisim::ParseTrace(text, trace)) return CheckError(*error, text);
  uint64_t last = 0;
  for (const vozisim::TraceEvent& e : trace.events) {
    FUZZ_CHECK(e.micros >= last, fuzz::Printable(text));
    last = e.micros;
    FUZZ_CHECK(std::find(trace.ports.begin(), trace.ports.end(), e.port) != trace.ports.end(), e.port);
    const bool bytes = e.kind == vozisim::TraceEvent::Kind::Sent || e.kind == vozisim::TraceEvent::Kind::Recv;
    FUZZ_CHECK(!bytes || (!e.text.empty() && e.fullLength >= e.text.size()), fuzz::Printable(text));
  }
  for (size_t device = 0; device < trace.ports.size(); ++device) {
    vozisim::ReplayScript script;
    const auto error = vozisim::BuildReplayScript(trace, std::to_string(device), script);
    FUZZ_CHECK(!error, *error);
    FUZZ_CHECK(script.port == trace.ports[device], script.port);
    for (const vozisim::ReplayStep& step : script.steps) {
      FUZZ_CHECK(step.frame.size() >= 2 && step.frame.front() == ':' && step.frame.back() == '\n',
                 fuzz::Printable(step.frame));
      for (const vozisim::ReplayOutput& o : step.outputs) FUZZ_CHECK(o.hangUp || !o.bytes.empty(), "");
    }
  }
}

void Csv(std::string_view text) {
  vozisim::Recording recording;
  if (auto error = vozisim::ReadCsvRecording(text, recording)) return CheckError(*error, text);
  FUZZ_CHECK(recording.periodUs > 0 && !recording.rows.empty() && recording.rows.front().n == 0,
             fuzz::Printable(text));
  const size_t columns = recording.names.size();
  FUZZ_CHECK(recording.units.size() == columns && recording.minima.size() == columns &&
                 recording.maxima.size() == columns,
             fuzz::Printable(text));
  for (size_t c = 0; c < columns; ++c) FUZZ_CHECK(recording.minima[c] < recording.maxima[c], fuzz::Printable(text));
  uint64_t previous = 0;
  // Rows far apart would make the loop below long, not wrong: look at a few.
  for (size_t i = 0; i < recording.rows.size() && i < 64; ++i) {
    const vozisim::Recording::Row& row = recording.rows[i];
    FUZZ_CHECK(i == 0 || row.n > previous, fuzz::Printable(text));
    previous = row.n;
    FUZZ_CHECK(row.values.size() == columns, fuzz::Printable(text));
    for (size_t c = 0; c < columns; ++c) {
      FUZZ_CHECK(row.values[c] >= recording.minima[c] && row.values[c] <= recording.maxima[c],
                 fuzz::Printable(text));
    }
    const auto line = recording.Line(row.n);
    FUZZ_CHECK(line.has_value(), fuzz::Printable(text));
    FUZZ_CHECK(static_cast<size_t>(std::count(line->begin(), line->end(), ',')) == columns, *line);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    Trace(text);
  } else {
    Csv(text);
  }
  return 0;
}
