#include "record/stream_recorder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "session/channel_scaling.h"
#include "commands/commands.h"
#include "session/device_info.h"
#include "outputs/number_text.h"

namespace vozihost {
namespace {

// Batches of a later stream kept until its info arrives: a few seconds of
// an instrument, not what a hostile publisher would like us to hold.
constexpr size_t kMaxWaitingBatches = 100;
constexpr size_t kMaxWaitingBytes = 4 * 1024 * 1024;
constexpr size_t kMaxUnknownGaps = 100000;
// Plausibility: a batch may lie ahead of the previous one by twice what
// the time between them allows, plus a margin for bursts after a stall; and
// ahead of the stream's start by twice the time since, plus a margin for
// clocks that differ between the publisher's machine and this one.
constexpr int64_t kJumpMarginUs = 10 * 1000000LL;
constexpr int64_t kClockMarginUs = 3600 * 1000000LL;
// Batches held behind a hole: four times what an instrument of 16 channels
// at 1 kHz sends (64 KB a second) for as long as a hole may wait, and one
// batch of the largest kind. Beyond, the oldest are written and the hole
// becomes a gap.
constexpr size_t kHeldBytesPerSecond = 256 * 1024;

size_t HeldBound(const RecordSettings& s) {
  const auto ms = std::max(s.hold, s.lateWait).count();
  return static_cast<size_t>(ms / 1000 + 1) * kHeldBytesPerSecond + kMaxBatchBytes;
}

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The positions `elapsedUs` can account for at `periodUs`, generously.
uint64_t Allowed(int64_t elapsedUs, int64_t marginUs, int64_t periodUs) {
  return static_cast<uint64_t>((2 * std::max<int64_t>(elapsedUs, 0) + marginUs) / periodUs);
}

// Back to the integers the enabler gave, which the EDF file holds: the
// float32 on the way keeps well within half a step of a 16-bit scale.
int32_t Digital(float value, const ChannelInfo& c) {
  if (c.Scaled()) {
    const double low = *c.minimum, high = *c.maximum;
    if (!std::isfinite(value) || high == low) return 0;
    return static_cast<int32_t>(std::clamp(std::round((value - low) / (high - low) * kFullScale), 0.0, kFullScale));
  }
  if (!std::isfinite(value)) return -8388608;
  return static_cast<int32_t>(std::clamp(std::round(static_cast<double>(value)), -8388608.0, 8388607.0));
}

// A file name from an id a broker gave: letters, digits, '-' and '_' only,
// bounded, so that no id can leave the folder or name a device.
std::string SafeName(const std::string& id) {
  std::string name;
  for (unsigned char c : id.substr(0, 64)) name += std::isalnum(c) || c == '-' ? static_cast<char>(c) : '_';
  return name.empty() ? "_" : name;
}

// The UTC calendar fields of microseconds since 1970.
std::tm UtcFields(int64_t us) {
  const std::time_t seconds = static_cast<std::time_t>(us / 1000000);
  std::tm t{};
  gmtime_r(&seconds, &t);
  return t;
}

// "2026-12-07T20:41:00.123456Z".
std::string IsoTimeUs(int64_t us) {
  const std::tm t = UtcFields(us);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000));
  return text;
}

// "20261207T204100.123Z": a start time that sorts and is a valid file name everywhere.
std::string FileTime(int64_t us) {
  const std::tm t = UtcFields(us);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000 / 1000) % 1000);
  return text;
}

}  // namespace

void RecordCounters::Malformed(const std::string& topic, const std::string& why) {
  ++malformed;
  lastMalformed = topic.substr(0, 200) + ": " + why;
}

InstrumentRecorder::InstrumentRecorder(std::string id, const RecordSettings& settings, RecordCounters& counters)
    : id_(std::move(id)),
      settings_(settings),
      counters_(counters),
      held_(settings.hold, settings.lateWait, HeldBound(settings)) {}

InstrumentRecorder::~InstrumentRecorder() { Finish("the recording ended"); }

void InstrumentRecorder::Info(const std::string& topic, const std::string& payload, RecordClock::time_point) {
  if (payload.empty()) return;  // cleared: no such instrument (any stream goes on until it ends)
  std::string why;
  const auto info = ParseInfo(payload, &why);
  if (!info) return counters_.Malformed(topic, why);
  // A start ahead of this clock by more than clocks differ would make every
  // genuine stream after it look older, and be ignored.
  if (info->startedUs > NowUs() + kClockMarginUs) {
    return counters_.Malformed(topic, "a stream that starts in the future");
  }
  // The same stream announced again (a reconnection), or an older one.
  if (info_ && info->startedUs <= info_->startedUs) return;
  if (info->startedUs <= lastEndedUs_) return;
  if (info_ && !ended_) EndStream(endSeen_ ? endWhy_ : "a new stream began");
  BeginStream(*info);
  if (settings_.clocks) settings_.clocks->Know(info->clock);
}

void InstrumentRecorder::BeginStream(const RemoteInfo& info) {
  info_ = info;
  ended_ = false;
  endAt_.reset();
  endSeen_.reset();
  held_.Clear();
  unknownGaps_.clear();
  lastBatchAt_.reset();
  takenEnd_.reset();
  record_ = StreamRecord{};
  // Batches that overtook this info; those of older streams are late.
  std::vector<Held> waiting;
  waiting.swap(waiting_);
  waitingBytes_ = 0;
  for (Held& h : waiting) {
    const std::optional<int64_t> s = h.batch.streamUs;
    if (!s || *s == info.startedUs) {
      const RecordClock::time_point arrived = h.arrived;
      Take(std::move(h), arrived);
    } else if (*s < info.startedUs) {
      ++counters_.late;
    } else {
      waitingBytes_ += h.bytes;
      waiting_.push_back(std::move(h));
    }
  }
}

void InstrumentRecorder::Samples(const std::string& topic, const std::string& payload, RecordClock::time_point now) {
  std::string why;
  auto batch = ParseBatch(payload, &why);
  if (!batch) return counters_.Malformed(topic, why);
  Held held{std::move(*batch), now, payload.size()};
  const RemoteBatch& b = held.batch;
  if (b.streamUs) {
    if (info_ && *b.streamUs == info_->startedUs) {
      if (ended_) {
        ++counters_.late;
        return;
      }
      return Take(std::move(held), now);
    }
    if (*b.streamUs <= lastEndedUs_ || (info_ && *b.streamUs < info_->startedUs)) {
      ++counters_.late;
      return;
    }
  } else if (info_) {
    // Format 1: tied to the stream by arrival order alone.
    if (info_->format != 1) return counters_.Malformed(topic, "a format-1 batch in a format-2 stream");
    if (ended_) {
      ++counters_.late;
      return;
    }
    if (b.first == 0 && takenEnd_ && *takenEnd_ > 0) {
      const RemoteInfo info = *info_;
      EndStream("positions began again at 0");
      BeginStream(info);
    }
    return Take(std::move(held), now);
  }
  // A later stream's batch (or one before any info): it waits for its info.
  if (waiting_.size() >= kMaxWaitingBatches || waitingBytes_ + held.bytes > kMaxWaitingBytes) {
    ++counters_.overflowed;
    return;
  }
  waitingBytes_ += held.bytes;
  waiting_.push_back(std::move(held));
}

void InstrumentRecorder::Take(Held held, RecordClock::time_point now) {
  const RemoteBatch& b = held.batch;
  const std::string topic = settings_.source + "/" + id_ + "/samples";
  if (b.channels != info_->channels.size()) {
    return counters_.Malformed(topic, "a batch of " + std::to_string(b.channels) + " channels where the info has " +
                                          std::to_string(info_->channels.size()));
  }
  const uint64_t end = b.first + b.count;
  if (takenEnd_ && b.first < *takenEnd_) return TakeLate(std::move(held));
  // Without a period, positions still count samples: at most one a microsecond.
  const int64_t period = info_->periodUs > 0 ? info_->periodUs : 1;
  const bool beyondStart = b.first > Allowed(NowUs() - info_->startedUs, kClockMarginUs, period);
  const bool tooFarAhead =
      takenEnd_ && lastBatchAt_ && b.first > *takenEnd_ &&
      b.first - *takenEnd_ >
          Allowed(std::chrono::duration_cast<std::chrono::microseconds>(now - *lastBatchAt_).count(), kJumpMarginUs,
                  period);
  if (beyondStart || tooFarAhead) {
    ++counters_.refused;
    return;
  }
  takenEnd_ = end;
  lastBatchAt_ = now;
  held_.Hold(std::move(held));
}

void InstrumentRecorder::TakeLate(Held held) {
  // Behind the newest batch: sent again after a reconnection (positions
  // already taken), or delivered after newer ones (a bridge's queue once
  // its link is back), which belongs in the hole it fills.
  switch (held_.Place(held.batch, *takenEnd_)) {
    case HeldBatches::Fit::Hole:
      ++record_.lateBatches;
      return held_.Hold(std::move(held));
    case HeldBatches::Fit::Repeated:
      ++counters_.repeated;
      return;
    case HeldBatches::Fit::Overlapping:
      // Reaching past positions taken: no publisher sends that.
      ++counters_.refused;
      return;
    case HeldBatches::Fit::PastWait:
      ++counters_.pastWait;
      return;
  }
}

void InstrumentRecorder::Reconnected() {
  if (takenEnd_ && !ended_) held_.Lost(*takenEnd_);
}

void InstrumentRecorder::Event(const std::string& topic, const std::string& payload, RecordClock::time_point now) {
  std::string why;
  const auto e = ParseEvent(payload, &why);
  if (!e) return counters_.Malformed(topic, why);
  if (!info_) return;
  if (e->stream && *e->stream != info_->startedUs) return;  // another stream's
  if (!e->stream && info_->format == 2) return counters_.Malformed(topic, "an event without \"stream\" in format 2");
  if (ended_) return;
  if (e->event == "start" && !e->stream && takenEnd_ && *takenEnd_ > 0) {
    // Format 1: a start event is the only sign of a new stream under the same info.
    const RemoteInfo info = *info_;
    EndStream("a start event began a new stream");
    BeginStream(info);
  } else if (e->event == "gap" && e->count) {
    // Lost before the publisher read them: no late batch brings them.
    if (*e->count <= e->position) held_.Lost(e->position - *e->count);
  } else if (e->event == "unpublished") {
    // Never handed to the broker: no late batch brings them.
    held_.Lost(e->position);
  } else if (e->event == "gap") {
    if (open_ && e->position < record_.nextPosition) {
      MarkUnknownGapLate(e->position);
    } else if (unknownGaps_.size() < kMaxUnknownGaps) {
      unknownGaps_.insert(e->position);
    }
  } else if (e->event == "stop" || e->event == "lost") {
    endAt_ = e->position;
    endSeen_ = now;
    endWhy_ = e->event == "stop" ? "stopped (" + (e->reason.empty() ? std::string("no reason") : e->reason) + ")"
                                 : "the instrument was lost: " + e->reason;
  }
}

void InstrumentRecorder::Status(const std::string& topic, const std::string& payload, RecordClock::time_point) {
  // Only said in the summary's terms: an instrument offline may be a
  // publisher whose connection broke for a moment, and its stream goes on.
  if (!payload.empty() && payload != "online" && payload != "offline") {
    counters_.Malformed(topic, "a status neither online nor offline");
  }
}

bool InstrumentRecorder::ClockReady() const {
  return !settings_.clocks || !info_ || settings_.clocks->Ready(info_->clock);
}

void InstrumentRecorder::MapStart() {
  if (!settings_.clocks) {
    record_.startRecorderUs = info_->startedUs;
    record_.clockOffsetUs.reset();
    return;
  }
  const ClockMap::Mapped m = settings_.clocks->ToRecorder(info_->clock, info_->startedUs);
  record_.startRecorderUs = m.us;
  record_.clockOffsetUs = m.offsetUs;
}

void InstrumentRecorder::Tick(RecordClock::time_point now) {
  WriteHeld(now, false);
  // Later exchanges refine the estimate: session.json follows.
  if (open_) MapStart();
  if (!endSeen_) return;
  // A hole still open may yet fill: late batches come after the stop too.
  const bool waiting = held_.HoleOpen();
  const bool complete = endAt_ && takenEnd_ && *takenEnd_ >= *endAt_ && !waiting;
  const auto since = now - *endSeen_;
  if (complete || (since >= settings_.hold && !waiting) || since >= settings_.hold + settings_.lateWait) {
    EndStream(endWhy_);
  }
}

void InstrumentRecorder::Finish(const std::string& why) {
  if (info_ && !ended_) EndStream(endSeen_ ? endWhy_ : why);
  counters_.unmatched += waiting_.size();
  waiting_.clear();
  waitingBytes_ = 0;
}

std::vector<StreamRecord> InstrumentRecorder::TakeFinished() {
  std::vector<StreamRecord> done;
  done.swap(finished_);
  return done;
}

void InstrumentRecorder::WriteHeld(RecordClock::time_point now, bool all) {
  // The files' start is on the recorder's clock: the first batches wait
  // (a moment, usually) for the publisher's clock to be measured.
  if (!all && !open_ && !held_.Empty() && !ClockReady() &&
      now - held_.FirstArrived() < settings_.hold + settings_.clockWait) {
    return;
  }
  while (auto due = held_.TakeDue(now, all)) Write(due->batch);
}

void InstrumentRecorder::EndStream(const std::string& why) {
  WriteHeld(RecordClock::now(), true);
  if (open_) {
    if (endAt_ && *endAt_ > record_.nextPosition) {
      // The stream's last samples never arrived: the file ends early, and says so.
      const uint64_t missing = *endAt_ - record_.nextPosition;
      record_.missing += missing;
      ++record_.gaps;
      csv_.WriteComment("end", std::to_string(missing) +
                                   " samples at the end of the stream never arrived (it ended at position " +
                                   std::to_string(*endAt_) + ")");
    }
    // Errors at the start were said then; those of the end are said here.
    std::string error;
    if (csv_.IsOpen() && !csv_.Close(&error)) {
      ReportError(error);
      record_.errors.push_back(error);
    }
    MapStart();
    if (edf_) {
      const uint64_t markers = AnnotateMarkers();
      error.clear();
      if (!edf_->Close(&error)) {
        ReportError(error);
        record_.errors.push_back(error);
      }
      record_.markers = edf_->NotesWritten();
      record_.markersLeftOut = markers - record_.markers;
      if (record_.markersLeftOut) {
        ReportError("warning: " + id_ + ": " + std::to_string(record_.markersLeftOut) +
                    " markers found no room among the EDF file's annotations (it holds " +
                    std::to_string(record_.markers) + "); markers.csv and session.json have them");
      }
      edf_.reset();
    }
    record_.end = why;
    finished_.push_back(record_);
    open_ = false;
  }
  lastEndedUs_ = std::max(lastEndedUs_, info_->startedUs);
  ended_ = true;
  held_.Clear();
  unknownGaps_.clear();
  endAt_.reset();
  endSeen_.reset();
}

bool InstrumentRecorder::OpenFiles(uint64_t first) {
  const RemoteInfo& info = *info_;
  const uint64_t lateBatches = record_.lateBatches;  // placed before the files were made
  record_ = StreamRecord{};
  record_.lateBatches = lateBatches;
  record_.id = id_;
  record_.info = info;
  record_.firstPosition = record_.nextPosition = first;
  open_ = true;
  MapStart();
  if (settings_.clocks && !info.clock.empty() && !record_.clockOffsetUs) {
    ReportError("warning: " + id_ + ": the publisher's clock " + info.clock +
                " did not answer: the stream's times are taken as it sent them (offset 0)");
  }
  const int64_t fileStartUs = record_.startRecorderUs + static_cast<int64_t>(first) * info.periodUs;
  bool bdf = false;
  for (const ChannelInfo& c : info.channels) bdf = bdf || !c.Scaled();
  const std::string edfExtension = bdf ? ".bdf" : ".edf";
  // Never over a file already there (the same stream recorded before, into
  // the same folder): the next free name.
  std::string base = SafeName(id_) + "-" + FileTime(info.startedUs);
  for (int n = 2; std::filesystem::exists(settings_.folder / (base + ".csv")) ||
                  std::filesystem::exists(settings_.folder / (base + edfExtension));
       ++n) {
    base = SafeName(id_) + "-" + FileTime(info.startedUs) + "-" + std::to_string(n);
  }
  std::string error;
  if (settings_.csv) {
    const auto path = settings_.folder / (base + ".csv");
    if (csv_.Open(path, &error)) {
      std::vector<std::string> labels;
      for (const ChannelInfo& c : info.channels) labels.push_back(c.Label());
      csv_.WriteHeader(
          {{"vozi-host", settings_.toolVersion},
           {"instrument", "Vozi " + info.model + " " + info.description + ", unique id " + info.uniqueId.value_or("-")},
           {"firmware", info.version.empty() ? info.firmware : info.version},
           {"period", info.periodUs > 0 ? std::to_string(info.periodUs) + " us, " +
                                              FormatPeriod(static_cast<int32_t>(info.periodUs)) + " (as published)"
                                        : "unknown (the publisher knows none; the first column counts samples)"},
           {"start", IsoTimeUs(record_.startRecorderUs) + " (this recorder's clock; the publisher's: " + info.started + ")"},
           {"source", settings_.source + "/" + id_ + ", recorded from position " + std::to_string(first)},
           {"gap", "samples lost just before the row (0 none, -1 some, number unknown)"}},
          labels, info.periodUs > 0);
      record_.files.emplace_back("CSV", path);
    } else {
      record_.errors.push_back(error);
      ReportError(error);
    }
  }
  if (settings_.edf && info.periodUs <= 0) {
    // EDF's time axis is its data records: a stream without a period has
    // none. Its samples are kept in the CSV, if one is written.
    const std::string why = id_ + ": no EDF file for the stream of " + info.started +
                            ": it has no sample period (the instrument offers none)";
    if (settings_.csv) {
      ReportError("warning: " + why + "; the CSV has its samples");
    } else {
      record_.errors.push_back(why + " (--csv keeps its samples)");
      ReportError(record_.errors.back());
    }
  } else if (settings_.edf) {
    const auto path = settings_.folder / (base + edfExtension);
    EdfHeader h;
    h.columns = info.channels;
    h.periodUs = info.periodUs;
    // The file begins with the first sample received: its start is that sample's time.
    h.start = std::chrono::system_clock::time_point(std::chrono::microseconds(fileStartUs));
    // As the publisher's own recording names them: the whole version text,
    // and the tool that made the samples.
    h.equipment = "Vozi " + info.model + " " + info.description + " fw " +
                  (info.version.empty() ? info.firmware : info.version);
    h.recording = info.tool.empty() ? "vozi-host " + settings_.toolVersion : info.tool;
    error.clear();
    edf_ = EdfRecording::Open(path, h, &error);
    if (edf_) {
      record_.files.emplace_back(edf_->Kind(), path);
    } else {
      record_.errors.push_back(error);
      ReportError(id_ + ": " + error);
    }
  }
  return true;
}

void InstrumentRecorder::Write(const RemoteBatch& b) {
  const std::vector<ChannelInfo>& channels = info_->channels;
  physical_.resize(channels.size());
  digital_.resize(channels.size());
  for (uint32_t k = 0; k < b.count; ++k) {
    const uint64_t p = b.first + k;
    if (!open_) OpenFiles(p);
    if (p < record_.nextPosition) continue;
    int64_t gap = 0;
    const uint64_t base = record_.firstPosition;
    if (p > record_.nextPosition) {
      const uint64_t count = p - record_.nextPosition;
      gap = static_cast<int64_t>(count);
      ++record_.gaps;
      record_.missing += count;
      if (edf_) edf_->Gap(p - base, count);
    }
    while (!unknownGaps_.empty() && *unknownGaps_.begin() <= p) {
      // One before the first position received concerns samples this file never held.
      if (gap == 0 && *unknownGaps_.begin() > base) {
        gap = -1;
        ++record_.gaps;
        ++record_.gapsOfUnknownSize;
        if (edf_) edf_->Gap(p - base, std::nullopt);
      }
      unknownGaps_.erase(unknownGaps_.begin());
    }
    for (size_t c = 0; c < channels.size(); ++c) {
      const float v = b.values[k * channels.size() + c];
      physical_[c] = v;
      digital_[c] = Digital(v, channels[c]);
    }
    if (csv_.IsOpen()) csv_.WriteRow(p, info_->periodUs, physical_, gap);
    if (edf_) edf_->Add(digital_);
    ++record_.samples;
    record_.nextPosition = p + 1;
  }
}

uint64_t InstrumentRecorder::AnnotateMarkers() {
  // Markers travel on a topic of their own and may reach the recorder
  // before the batches they fall among (which are held a moment): they
  // are placed as the file closes, when its span is known. Both the
  // markers' times and the stream's start are on the recorder's clock.
  if (!settings_.markers || info_->periodUs <= 0) return 0;
  uint64_t count = 0;
  const int64_t start = record_.startRecorderUs + static_cast<int64_t>(record_.firstPosition) * info_->periodUs;
  const int64_t span = static_cast<int64_t>(record_.nextPosition - record_.firstPosition) * info_->periodUs;
  for (const Marker& m : *settings_.markers) {
    // Outside the file (before its first sample, after its last): in
    // markers.csv and session.json only.
    if (m.recorderUs < start || m.recorderUs - start > span) continue;
    edf_->Note(m.recorderUs - start, m.durationUs, m.text);
    ++count;
  }
  return count;
}

void InstrumentRecorder::MarkUnknownGapLate(uint64_t position) {
  // The row is written already: the mark goes beside it, as a comment and
  // an annotation, and counts.
  if (position <= record_.firstPosition) return;
  ++record_.gaps;
  ++record_.gapsOfUnknownSize;
  if (csv_.IsOpen()) {
    csv_.WriteComment("gap", "some samples (number unknown) are missing before position " + std::to_string(position) +
                                 " (reported after that row was written)");
  }
  if (edf_) edf_->Gap(position - record_.firstPosition, std::nullopt);
}

}  // namespace vozihost
