#pragma once
// The streaming part of "acquire": every chosen instrument configured
// (period, channels), started, drained line by line, converted, written and
// thinned for the plot, until the time or sample limit, a failure or Ctrl-C.
// Lines that never arrived are found (the library's ring found full, a
// damaged line, fewer lines than the time allows) and marked where they
// were lost (gap_locator.h), with how many.
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outputs/csv_writer.h"
#include "session/device_info.h"
#include "outputs/edf_writer.h"
#include "session/enabler_session.h"
#include "session/gap_locator.h"
#include "session/played_recording.h"
#include "outputs/plot_series.h"
#include "session/stream_stats.h"

namespace vozihost {

struct StreamLimits {
  std::optional<double> seconds;   // of sample time (wall-clock time without a period)
  std::optional<uint64_t> samples; // per instrument
  // An instrument silent for this long (or five sample periods, if longer)
  // has stopped streaming.
  double silenceSeconds = 3.0;
};

// Why samples are missing before a row.
enum class GapCause {
  RingFull,   // the enabler's receive ring was found full: it refused lines
  Damaged,    // lines arrived that could not be read
  Missing,    // fewer lines arrived than the period allows
};
const char* GapCauseName(GapCause cause);  // "ring-full", "damaged", "missing"

// Something fed from the stream as the CSV is (the publisher): each row with
// its position and gap mark exactly as the CSV gets them, and a call after
// every pass of the run, to act on time.
struct DeviceStream;
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  // gap: as the CSV's column (0 none, -1 some, number unknown); cause when not 0.
  virtual void Row(uint64_t position, const std::vector<double>& values, int64_t gap, GapCause cause) = 0;
  virtual void Pass(const DeviceStream& s) = 0;
  // Samples missing after the last row, up to the run's limit.
  virtual void EndLoss(uint64_t position, uint64_t count, GapCause cause) = 0;
};

// One instrument during the acquisition.
struct DeviceStream : GapLocator::Sink {
  DeviceInfo info;
  std::vector<ChannelInfo> columns;         // enabled channels in the order they arrive
  std::vector<bool> scaled;                 // per column
  // The period selected before the stream starts, which the time column
  // and the loss check rest on; 0: the instrument offers none (time unknown).
  int64_t periodUs = 0;
  bool periodGiven = false;                 // by --period (else where the instrument starts)
  std::filesystem::path csvPath, plotPath, edfPath;  // empty: not wanted
  CsvWriter csv;
  std::unique_ptr<PlotSeries> plot;
  std::vector<double> plotGaps;             // sample positions where samples are missing
  std::unique_ptr<EdfRecording> edf;
  StreamStats stats;
  StreamSink* sink = nullptr;               // not owned; none: files only
  bool started = false;  // StartStream accepted: it takes part in the run
  bool done = false;     // limit reached; further lines are read and discarded
  // The instrument is a simulator playing this recording: its silences up to
  // the longest are its gaps, and once its every line has come it has ended.
  std::optional<PlayedRecording> played;
  bool playedToEnd = false;  // done because every line of the recording came
  std::string failure;   // why it did not start or broke off (empty: it did not)

  // Parses, converts and records one line. Lines past the limit are
  // dropped; the limit counts good samples.
  void Consume(const std::string& line, const StreamLimits& limits);
  // Samples missing before the next row: a count, or nullopt when some are
  // missing but how many is unknown.
  void RecordGap(std::optional<uint64_t> count, GapCause cause = GapCause::Missing);

  // After the run: samples of the run that never arrived after the last
  // row (lost just before the limit, so no later row can carry the mark)
  // are counted as a gap at the end, in every output.
  void MarkEndLoss();
  uint64_t rowsEnd = 0;   // the position after the last row written
  uint64_t endLoss = 0;   // samples missing between rowsEnd and the limit
  GapCause endLossCause = GapCause::Missing;

  // Outputs were asked for and none is left to write to (the CSV's reader
  // went away, the EDF file could not begin): reading on would keep nothing.
  bool NothingToWrite() const;

  // The position of the next line: lines that arrived plus samples lost.
  uint64_t Position() const { return stats.samples + stats.malformed + stats.lostEstimate; }
  double AverageLineBytes() const;

  bool anyLine = false;
  double firstAt = 0, lastAt = 0;  // arrival of the first and last line
  uint64_t linesByLast = 0;        // lines taken up to lastAt (some may lie past the limit)
  uint64_t bytesRead = 0, linesRead = 0;  // taken from the ring, held lines included
  // Stretches of the stream (byte counts, both ends included) where a line
  // that starts there may follow lines the ring refused.
  struct ByteRange {
    uint64_t from = 0, to = 0;
  };
  std::deque<ByteRange> ringGaps;
  // Lines that may follow refused ones, and those after them, held back
  // until a line comes that no refusal seen so far can precede (see
  // Acquisition::PassWithheld).
  struct Withheld {
    std::string line;
    double at;
    uint64_t end;
    bool mayFollowRefused;
  };
  std::vector<Withheld> withheld;
  // Places the lines taken in time, with the samples missing before each;
  // made when the stream starts.
  std::unique_ptr<GapLocator> gaps;
  StreamLimits limits;
  void Release(GapLocator::Released& line) override;
  // The previous look at the ring: the bytes read then, and where the ring's
  // text ended (bytes read plus bytes held).
  uint64_t lookedAtRead = 0, lookedAtEnd = 0;
  double pausedUntil = 0;  // a full ring is left alone until then

 private:
  uint64_t pendingGap_ = 0;
  bool pendingUnknown_ = false;
  GapCause pendingCause_ = GapCause::Missing;  // the first cause since the last row
  std::vector<int32_t> decoded_;
  std::vector<double> physical_;
};

enum class RunEnd { Limit, Interrupted, Failed, NothingToWrite };

struct RunResult {
  RunEnd end = RunEnd::Limit;
  double elapsedSeconds = 0;
};

class Acquisition {
 public:
  Acquisition(EnablerSession& session, std::vector<DeviceStream>& streams, StreamLimits limits,
              bool showProgress)
      : session_(session), streams_(streams), limits_(limits), showProgress_(showProgress) {}

  // Sends the period and channel commands, then StartStream, to every
  // instrument. One that refuses gets a failure and stays out of the run; the
  // others go on. False when none started.
  bool Start();
  // Reads until the end; always leaves the instruments stopped.
  RunResult Run();

 private:
  bool Configure(DeviceStream& s);
  void WatchRing(size_t i);
  void WatchRings();
  // What a pass over every instrument took: nothing, every line that was
  // waiting, or as many as a pass takes from one (more are waiting).
  enum class Drained { Nothing, Lines, More };
  Drained DrainAll();
  bool WaitForLine(double now);
  void Take(DeviceStream& s, double now);
  void PassWithheld(DeviceStream& s);
  double StallSeconds(const DeviceStream& s) const;
  void EndPlayed(DeviceStream& s);
  void CheckHealth(double now);
  void ShowProgress(double now, bool final);
  void StopAll();
  bool LimitReached(double elapsed) const;

  EnablerSession& session_;
  std::vector<DeviceStream>& streams_;
  StreamLimits limits_;
  bool showProgress_;
  std::chrono::steady_clock::time_point start_;
  std::vector<bool> ringWasFull_;
  double resumedAt_ = 0;  // when the tool last ran again after being held up
  size_t nextWait_ = 0;
  size_t progressWidth_ = 0;
  std::string line_;
};

}  // namespace vozihost
