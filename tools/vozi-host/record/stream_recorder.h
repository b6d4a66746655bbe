#pragma once
// What `vozi-host record` does with the messages of the broker: every
// instrument's streams written into files as `acquire` writes them on the
// instrument's PC (CSV rows at the same positions and times, EDF+ or BDF+
// with the same data records), one file per stream, gaps marked where the
// positions jump or a `gap` event of unknown size says so.
//
// Batches are held a moment before they are written: a `gap` event travels
// on another topic and may come after the batch it concerns, and a batch of
// a new stream may overtake that stream's `info`. Batches behind a hole in
// the positions are held longer, for the late batches that fill it
// (record/held_batches.h). Nothing a message holds can
// stop the recording: a message that fails its checks is skipped and counted.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "outputs/csv_writer.h"
#include "outputs/edf_writer.h"
#include "record/clock_keeper.h"
#include "record/held_batches.h"
#include "record/marker.h"
#include "record/remote_messages.h"

namespace vozihost {

struct RecordSettings {
  std::filesystem::path folder;
  bool csv = false;
  bool edf = true;
  std::string toolVersion;
  std::string source;  // the broker and the topic, for the files' comments
  // How long a batch waits for the events about it before it is written,
  // and a stream for its last batches after its `stop`.
  std::chrono::milliseconds hold{1000};
  // How long batches behind a hole in the positions wait for the late
  // batches that would fill it before the hole is written as a gap.
  std::chrono::milliseconds lateWait{30000};
  // The session's experiment markers so far: each EDF file, as it closes,
  // gets those that fall within it as annotations.
  const std::vector<Marker>* markers = nullptr;
  // The senders' clocks as measured: a stream's start goes onto the
  // recorder's clock. Null: times are taken as the publishers sent them.
  ClockMap* clocks = nullptr;
  // The longest a stream's first batches wait for its publisher's clock to
  // be measured (beyond `hold`) before the files are made anyway.
  std::chrono::milliseconds clockWait{5000};
};

// Messages skipped, across every instrument.
struct RecordCounters {
  uint64_t malformed = 0;   // failed their checks
  uint64_t refused = 0;     // well-formed batches at positions that cannot be (overlapping, too far ahead)
  uint64_t late = 0;        // batches of a stream already over
  uint64_t repeated = 0;    // batches sent again after a reconnection
  uint64_t pastWait = 0;    // batches for a hole already written as a gap (they came after lateWait)
  uint64_t overflowed = 0;  // batches dropped while waiting for their info, beyond the bounds
  uint64_t instrumentsIgnored = 0;  // messages of instruments beyond the bound
  uint64_t unmatched = 0;  // batches of a stream whose info never came
  std::string lastMalformed;        // what and why, for the summary
  void Malformed(const std::string& topic, const std::string& why);
};

// One stream recorded: for the summary and session.json.
struct StreamRecord {
  std::string id;
  RemoteInfo info;
  std::vector<std::pair<std::string, std::filesystem::path>> files;  // kind ("CSV", "EDF+", "BDF+"), file
  uint64_t firstPosition = 0;
  uint64_t nextPosition = 0;  // after the last sample written
  uint64_t samples = 0;
  uint64_t gaps = 0;               // places where samples are missing
  uint64_t gapsOfUnknownSize = 0;  // of which
  uint64_t missing = 0;            // samples known to be missing
  uint64_t lateBatches = 0;        // came after newer ones, and were written at their place
  std::string end;                 // how the stream ended, as far as the recorder knows
  std::vector<std::string> errors; // outputs that failed, with the reason
  uint64_t markers = 0;            // annotated in its EDF file
  uint64_t markersLeftOut = 0;     // within its span, but no room in the file
  // The stream's start (info.startedUs) on the recorder's clock, and the
  // publisher's clock's offset used (nullopt: never measured, taken as 0).
  int64_t startRecorderUs = 0;
  std::optional<double> clockOffsetUs;
};

class InstrumentRecorder {
 public:
  InstrumentRecorder(std::string id, const RecordSettings& settings, RecordCounters& counters);
  ~InstrumentRecorder();
  InstrumentRecorder(const InstrumentRecorder&) = delete;
  InstrumentRecorder& operator=(const InstrumentRecorder&) = delete;

  void Info(const std::string& topic, const std::string& payload, RecordClock::time_point now);
  void Samples(const std::string& topic, const std::string& payload, RecordClock::time_point now);
  void Event(const std::string& topic, const std::string& payload, RecordClock::time_point now);
  void Status(const std::string& topic, const std::string& payload, RecordClock::time_point now);
  // Writes the batches held long enough; ends a stream whose end has come.
  void Tick(RecordClock::time_point now);
  // Writes everything held and closes the files.
  void Finish(const std::string& why);
  // The streams ended since the last call.
  std::vector<StreamRecord> TakeFinished();
  // The stream being written, if any sample of it arrived.
  const StreamRecord* Writing() const { return open_ ? &record_ : nullptr; }
  // The recorder's connection to the broker began again: a clean session,
  // so the broker kept nothing for it meanwhile, and the hole after the
  // batches taken so far will not fill.
  void Reconnected();
  // What the current stream's held batches cost (their messages' bytes).
  size_t HeldBytes() const { return held_.Bytes(); }

 private:
  using Held = HeldBatch;
  void BeginStream(const RemoteInfo& info);
  void EndStream(const std::string& why);
  void Take(Held held, RecordClock::time_point now);
  void TakeLate(Held held);
  void WriteHeld(RecordClock::time_point now, bool all);
  void Write(const RemoteBatch& batch);
  bool OpenFiles(uint64_t first);
  void MarkUnknownGapLate(uint64_t position);
  // Hands the EDF file the markers within its span; how many.
  uint64_t AnnotateMarkers();
  // The stream's start on the recorder's clock, as now measured.
  void MapStart();
  bool ClockReady() const;

  std::string id_;
  const RecordSettings& settings_;
  RecordCounters& counters_;
  std::optional<RemoteInfo> info_;  // the current stream's
  bool ended_ = false;              // the current stream is over: its batches are late
  int64_t lastEndedUs_ = 0;         // streams up to this start are over
  std::optional<uint64_t> endAt_;   // the stop's position, once known
  std::optional<RecordClock::time_point> endSeen_;
  std::string endWhy_;
  HeldBatches held_;                // the current stream's batches, by first position
  std::vector<Held> waiting_;       // later streams' batches before their info
  size_t waitingBytes_ = 0;
  std::set<uint64_t> unknownGaps_;  // positions before which an unknown number is missing
  std::optional<RecordClock::time_point> lastBatchAt_;
  std::optional<uint64_t> takenEnd_;  // after the last sample taken (held or written) of this stream

  bool open_ = false;
  StreamRecord record_;
  CsvWriter csv_;
  std::unique_ptr<EdfRecording> edf_;
  std::vector<int32_t> digital_;
  std::vector<double> physical_;
  std::vector<StreamRecord> finished_;
};

}  // namespace vozihost
