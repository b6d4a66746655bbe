#include "record/record_command.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iomanip>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include "commands/commands.h"
#include "commands/exit_codes.h"
#include "outputs/number_text.h"
#include "outputs/output_files.h"
#include "platform/console.h"
#include "publish/clock_messages.h"
#include "publish/mqtt_connection.h"
#include "record/clock_keeper.h"
#include "record/stream_recorder.h"

namespace vozihost {
namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// A broker can name any number of instruments: the recorder keeps files
// open for this many at most, and counts the messages of the others.
constexpr size_t kMaxInstruments = 256;
// Messages received and not yet handled, in bytes: beyond, the recorder has
// fallen behind the broker and drops (and counts) samples rather than grow.
constexpr size_t kMaxQueuedBytes = 64 * 1024 * 1024;
constexpr auto kAnswerWait = 10s;
// Markers kept for session.json and the EDF files: an experiment's trials
// many times over; beyond, they are skipped and counted.
constexpr size_t kMaxMarkers = 10000;

// A CSV field: quoted when it holds a separator or a quote (RFC 4180).
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

struct Message {
  std::string topic, payload;
  unsigned connection = 0;  // the recorder's connection it arrived on (1, 2, ...)
};

// Every instrument's recorder, fed the messages by topic, and the list of
// streams recorded.
class Recording {
 public:
  Recording(const RecordOptions& o, const BrokerSettings& broker) : broker_(broker) {
    settings_.folder = o.folder;
    settings_.csv = o.csv;
    settings_.edf = EdfSupported();
    settings_.toolVersion = o.toolVersion;
    settings_.source = broker.url.Text() + " " + broker.prefix;
    settings_.markers = &markers_;
    settings_.lateWait = o.lateWait;
  }

  // FOLDER/markers.csv, with its header: there from the start, so that an
  // analysis finds it (empty) in a session without markers.
  bool OpenMarkers(std::string* error) {
    const auto path = settings_.folder / "markers.csv";
    markersCsv_.open(path, std::ios::binary | std::ios::trunc);
    markersCsv_ << "time_utc_us,sender,text,duration_us,sender_time_utc_us,clock,clock_offset_us\n" << std::flush;
    if (!markersCsv_) {
      *error = "cannot write " + path.string() + ": " + SystemReason();
      return false;
    }
    return true;
  }

  void Handle(const Message& m, RecordClock::time_point now) {
    if (m.connection != connection_) {
      // The first message of a new connection: what the broker had while the
      // recorder was away is gone for it.
      if (connection_ != 0) {
        for (auto& [id, r] : instruments_) r->Reconnected();
      }
      connection_ = m.connection;
    }
    const std::string& t = m.topic;
    if (t.size() <= broker_.prefix.size() + 1 || t.compare(0, broker_.prefix.size(), broker_.prefix) != 0 ||
        t[broker_.prefix.size()] != '/') {
      return;  // not subscribed to: nothing of ours
    }
    const std::string rest = t.substr(broker_.prefix.size() + 1);
    if (rest == kMarkerTopic) return Mark(m.payload);
    const size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string::npos || rest.find('/', slash + 1) != std::string::npos) return;
    const std::string id = rest.substr(0, slash), kind = rest.substr(slash + 1);
    auto it = instruments_.find(id);
    if (it == instruments_.end()) {
      // Only an info makes an instrument worth a recorder.
      if (kind != "info" || m.payload.empty()) return;
      if (instruments_.size() >= kMaxInstruments) {
        ++counters_.instrumentsIgnored;
        return;
      }
      it = instruments_.emplace(id, std::make_unique<InstrumentRecorder>(id, settings_, counters_)).first;
    }
    InstrumentRecorder& r = *it->second;
    if (kind == "info") {
      r.Info(t, m.payload, now);
    } else if (kind == "samples") {
      r.Samples(t, m.payload, now);
    } else if (kind == "events") {
      r.Event(t, m.payload, now);
    } else if (kind == "status") {
      r.Status(t, m.payload, now);
    }
  }

  void SetClocks(ClockMap* clocks) {
    clocks_ = clocks;
    settings_.clocks = clocks;
  }

  void Mark(const std::string& payload) {
    std::string why;
    const auto marker = ParseMarker(payload, &why);
    if (!marker) {
      ++markersSkipped_;
      lastMarkerSkipped_ = why;
      return;
    }
    // QoS 1 delivers a marker again after a reconnection: the same one
    // twice is one marker.
    const auto key = std::make_tuple(marker->timeUtcUs, marker->sender, marker->text);
    if (markerKeys_.count(key)) return;
    if (markers_.size() + unsettled_.size() >= kMaxMarkers) {
      ++markersSkipped_;
      lastMarkerSkipped_ = "more than " + std::to_string(kMaxMarkers) + " markers";
      return;
    }
    markerKeys_.insert(key);
    // A sender's clock heard of for the first time is measured at once (a
    // one-shot sender answers for a moment only); the marker waits for that.
    if (clocks_) clocks_->Know(marker->clock);
    unsettled_.push_back(*marker);
    SettleMarkers(false);
  }

  // Markers whose sender's clock is measured (or will not be) go onto the
  // recorder's clock, into markers.csv and the list the EDF files take.
  void SettleMarkers(bool all) {
    while (!unsettled_.empty()) {
      Marker& m = unsettled_.front();
      if (!all && clocks_ && !clocks_->Ready(m.clock)) return;
      m.recorderUs = m.timeUtcUs;
      if (clocks_ && !m.clock.empty()) {
        const ClockMap::Mapped mapped = clocks_->ToRecorder(m.clock, m.timeUtcUs);
        m.recorderUs = mapped.us;
        m.clockOffsetUs = mapped.offsetUs;
        if (!mapped.offsetUs && silentClocksSaid_.insert(m.clock).second && silentClocksSaid_.size() <= 20) {
          ReportError("warning: the marker sender's clock " + m.clock + " (" + m.sender +
                      ") did not answer: its markers' times are taken as sent (offset 0)");
        }
      }
      markersCsv_ << m.recorderUs << "," << CsvField(m.sender) << "," << CsvField(m.text) << ","
                  << (m.durationUs ? std::to_string(*m.durationUs) : std::string()) << "," << m.timeUtcUs << ","
                  << m.clock << "," << (m.clockOffsetUs ? std::to_string(std::llround(*m.clockOffsetUs)) : "")
                  << "\n"
                  << std::flush;
      if (!markersCsv_ && !markersFailed_) {
        markersFailed_ = true;
        ReportError("cannot write " + (settings_.folder / "markers.csv").string() + ": " + SystemReason());
      }
      markers_.push_back(std::move(m));
      unsettled_.pop_front();
    }
  }

  // True when a stream ended (session.json is due).
  bool Tick(RecordClock::time_point now) {
    SettleMarkers(false);
    bool ended = false;
    for (auto& [id, r] : instruments_) {
      r->Tick(now);
      for (StreamRecord& s : r->TakeFinished()) {
        done_.push_back(std::move(s));
        ended = true;
      }
    }
    return ended;
  }

  void Finish(const std::string& why) {
    SettleMarkers(true);
    for (auto& [id, r] : instruments_) {
      r->Finish(why);
      for (StreamRecord& s : r->TakeFinished()) done_.push_back(std::move(s));
    }
  }

  std::string Progress() const {
    std::string text;
    for (const auto& [id, r] : instruments_) {
      if (const StreamRecord* s = r->Writing()) {
        text += (text.empty() ? "" : "  ") + id + ": " + std::to_string(s->samples) + " samples";
        if (s->gaps) text += ", " + std::to_string(s->gaps) + " gaps";
      }
    }
    return text.empty() ? "waiting for samples" : text;
  }

  // The streams recorded so far (those still being written with "end"
  // null), and what was skipped: replaced whole (through a temporary name),
  // so that a reader never sees half of it.
  bool WriteSession(std::string* error) const {
    Json streams = Json::array();
    for (const StreamRecord& s : done_) streams.push_back(StreamJson(s, true));
    for (const auto& [id, r] : instruments_) {
      if (const StreamRecord* s = r->Writing()) streams.push_back(StreamJson(*s, false));
    }
    Json markers = Json::array();
    for (const Marker& m : markers_) {
      markers.push_back(Json{{"time_utc_us", m.recorderUs},
                             {"sender", m.sender},
                             {"text", m.text},
                             {"duration_us", m.durationUs ? Json(*m.durationUs) : Json(nullptr)},
                             {"sender_time_utc_us", m.timeUtcUs},
                             {"clock", m.clock.empty() ? Json(nullptr) : Json(m.clock)},
                             {"clock_offset_us", OffsetJson(m.clock, m.clockOffsetUs)},
                             {"clock_measured", m.clockOffsetUs.has_value()}});
    }
    const Json session{{"tool", "vozi-host " + settings_.toolVersion},
                       {"broker", broker_.url.Text()},
                       {"prefix", broker_.prefix},
                       {"streams", std::move(streams)},
                       {"markers", std::move(markers)},
                       {"clocks", keeper_ ? keeper_->Summary() : Json::array()},
                       {"skipped",
                        {{"malformed", counters_.malformed},
                         {"refused", counters_.refused},
                         {"late", counters_.late},
                         {"repeated", counters_.repeated},
                         {"past_wait", counters_.pastWait},
                         {"overflowed", counters_.overflowed + dropped_},
                         {"unmatched", counters_.unmatched},
                         {"instruments_ignored", counters_.instrumentsIgnored},
                         {"markers", markersSkipped_},
                         {"clock_replies", keeper_ ? keeper_->Malformed() : 0}}}};
    const auto path = settings_.folder / "session.json";
    const auto temporary = settings_.folder / "session.json.new";
    const std::string text = session.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    if (!WriteWholeFile(temporary, text, error)) return false;
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) *error = "cannot write " + path.string() + ": " + ec.message();
    return !ec;
  }

  // The offset used: measured, 0 for a clock that never answered, null
  // (unknown) for a sender that named no clock.
  static Json OffsetJson(const std::string& clock, const std::optional<double>& offsetUs) {
    if (offsetUs) return Json(std::llround(*offsetUs * 10) / 10.0);
    return clock.empty() ? Json(nullptr) : Json(0);
  }

  static Json StreamJson(const StreamRecord& s, bool ended) {
    Json files = Json::array();
    for (const auto& [kind, path] : s.files) files.push_back(path.filename().string());
    return Json{{"unique_id", s.info.uniqueId ? Json(*s.info.uniqueId) : Json(nullptr)},
                {"topic_id", s.id},
                {"model", s.info.model},
                {"description", s.info.description},
                {"firmware", s.info.version},
                {"period_us", s.info.periodUs > 0 ? Json(s.info.periodUs) : Json(nullptr)},
                {"files", std::move(files)},
                {"first_position", s.firstPosition},
                {"end_position", s.nextPosition},
                {"markers_annotated", s.markers},
                {"markers_left_out", s.markersLeftOut},
                {"start_utc_us", s.startRecorderUs},
                {"started_us", s.info.startedUs},
                {"started", s.info.started},
                {"clock", s.info.clock.empty() ? Json(nullptr) : Json(s.info.clock)},
                {"clock_offset_us", OffsetJson(s.info.clock, s.clockOffsetUs)},
                {"clock_measured", s.clockOffsetUs.has_value()},
                {"samples", s.samples},
                {"gaps", s.gaps},
                {"gaps_of_unknown_size", s.gapsOfUnknownSize},
                {"missing", s.missing},
                {"late_batches", s.lateBatches},
                {"end", ended ? Json(s.end) : Json(nullptr)}};
  }

  void PrintSummary(std::ostream& out) const {
    for (const StreamRecord& s : done_) {
      out << s.id << " (" << s.info.model << ", " << s.info.description << "), stream of " << s.info.started
          << ": " << s.samples << " samples";
      if (s.info.periodUs > 0) {
        out << " (to " << FormatSampleTime(s.nextPosition, s.info.periodUs) << " s of sample time)";
      }
      out << " from position " << s.firstPosition << "; " << s.end << "\n";
      if (s.gaps) {
        out << "  LOST: samples are missing at " << s.gaps << (s.gaps == 1 ? " place" : " places")
            << " (rows with a non-zero gap column): " << s.missing << " never arrived";
        if (s.gapsOfUnknownSize) out << ", plus " << s.gapsOfUnknownSize << " gap(s) of unknown size";
        out << "\n";
      }
      if (s.lateBatches) {
        out << "  " << s.lateBatches << " batches came after newer ones and were written at their place\n";
      }
      for (const auto& [kind, path] : s.files) {
        out << "  " << std::left << std::setw(6) << kind + ":" << path.string() << "\n";
      }
    }
    if (done_.empty()) out << "no stream recorded\n";
    const RecordCounters& c = counters_;
    const uint64_t overflowed = c.overflowed + dropped_;
    if (c.malformed || c.refused || c.late || c.repeated || c.pastWait || overflowed || c.unmatched ||
        c.instrumentsIgnored) {
      out << "skipped: " << c.malformed << " malformed messages, " << c.refused << " implausible batches, " << c.late
          << " late batches, " << c.repeated << " batches sent again, " << c.pastWait
          << " batches too late for their place (written as a gap), " << overflowed << " batches over the bounds, "
          << c.unmatched << " batches whose info never came, messages of " << c.instrumentsIgnored
          << " instruments beyond " << kMaxInstruments << "\n";
      if (!c.lastMalformed.empty()) out << "  last malformed: " << c.lastMalformed << "\n";
    }
    out << "markers: " << markers_.size() << " in " << (settings_.folder / "markers.csv").string();
    if (markersSkipped_) out << "; " << markersSkipped_ << " skipped (last: " << lastMarkerSkipped_ << ")";
    out << "\n";
    out << "session: " << (settings_.folder / "session.json").string() << "\n";
  }

  bool AnyOutputFailed() const {
    if (markersFailed_) return true;
    for (const StreamRecord& s : done_) {
      if (!s.errors.empty()) return true;
    }
    return false;
  }

  uint64_t dropped_ = 0;  // by the queue: the recorder fell behind
  const ClockKeeper* keeper_ = nullptr;

 private:
  BrokerSettings broker_;
  RecordSettings settings_;
  RecordCounters counters_;
  std::map<std::string, std::unique_ptr<InstrumentRecorder>> instruments_;
  std::vector<StreamRecord> done_;
  std::vector<Marker> markers_;
  std::deque<Marker> unsettled_;  // waiting for their sender's clock
  ClockMap* clocks_ = nullptr;
  std::set<std::string> silentClocksSaid_;
  std::set<std::tuple<int64_t, std::string, std::string>> markerKeys_;
  std::ofstream markersCsv_;
  bool markersFailed_ = false;
  unsigned connection_ = 0;
  uint64_t markersSkipped_ = 0;
  std::string lastMarkerSkipped_;
};

std::vector<std::pair<std::string, int>> Filters(const std::string& prefix, const std::vector<std::string>& ids) {
  std::vector<std::pair<std::string, int>> filters;
  std::vector<std::string> levels = ids;
  if (levels.empty()) levels.push_back("+");
  for (const std::string& id : levels) {
    const std::string base = prefix + "/" + id + "/";
    // Samples at QoS 0: a lost batch is a jump in positions, and the broker
    // does not queue them for a recorder that falls behind.
    filters.emplace_back(base + "info", 1);
    filters.emplace_back(base + "status", 1);
    filters.emplace_back(base + "events", 1);
    filters.emplace_back(base + "samples", 0);
  }
  filters.emplace_back(prefix + "/" + kMarkerTopic, 1);
  return filters;
}

// Makes the folder (not its parents: a misspelt path is a mistake, not a
// new tree) and refuses one that holds a recording already, whose
// session.json would be lost.
bool PrepareFolder(const std::filesystem::path& folder, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    if (!std::filesystem::create_directory(folder, ec) || ec) {
      *error = "--out: cannot make the folder " + folder.string() + ": " +
               (ec ? ec.message() : std::string("something else is there"));
      return false;
    }
  }
  if (std::filesystem::exists(folder / "session.json", ec)) {
    *error = "--out: " + folder.string() + " holds a recording already (session.json): choose another folder";
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> CheckInstrumentId(const std::string& id) {
  if (id.empty()) return std::string("--id needs an instrument's id (it was given an empty one)");
  for (unsigned char c : id) {
    if (c == '/' || c == '+' || c == '#' || c < 0x20) {
      return "--id " + id + ": an id is one topic level, without '/', '+', '#' or control characters";
    }
  }
  return std::nullopt;
}

int RunRecord(const RecordOptions& o, const BrokerSettings& broker, std::ostream& out) {
  std::string error;
  if (!PrepareFolder(o.folder, &error)) {
    ReportError(error);
    return kExitFailure;
  }
  Recording recording(o, broker);
  if (!recording.OpenMarkers(&error) || !recording.WriteSession(&error)) {
    ReportError(error);
    return kExitFailure;
  }

  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<Message> queue;
  size_t queuedBytes = 0;
  uint64_t dropped = 0;
  MqttConnection connection("vozi-host-record-" + std::to_string(getpid()), broker, "", "");
  ClockKeeper clocks(connection, broker.prefix);
  connection.TakePartInClockExchanges();
  recording.SetClocks(&clocks);
  recording.keeper_ = &clocks;
  connection.Subscribe(Filters(broker.prefix, o.ids), [&](const std::string& topic, std::string payload) {
    // A clock reply's arrival, taken first; replies are handled here, on the
    // network thread, not behind the samples in the queue.
    const int64_t arrivedUs = ClockNowUs();
    if (clocks.IsReply(topic)) return clocks.Reply(topic, payload, arrivedUs);
    {
      std::lock_guard lock(mutex);
      if (queuedBytes + payload.size() > kMaxQueuedBytes) {
        ++dropped;
        return;
      }
      queuedBytes += payload.size();
      queue.push_back(Message{topic, std::move(payload), connection.Connections()});
    }
    arrived.notify_one();
  });
  // Without the clock exchanges the recording still goes on (times as sent).
  connection.SubscribeOptional(clocks.ReplyFilter(), 0);
  if (!connection.Start(kAnswerWait, &error)) {
    ReportError("cannot reach the broker " + broker.url.Text() + ": " + error);
    return kExitBroker;
  }
  if (!connection.WaitSubscribed(kAnswerWait)) {
    ReportError("the broker " + broker.url.Text() + " did not confirm the subscriptions within " +
                std::to_string(kAnswerWait.count()) + " s");
    return kExitBroker;
  }
  if (const auto refusal = connection.TakeRefusal()) {
    ReportError(*refusal + " (does the broker's ACL let this user read under " + broker.prefix + "?)");
    return kExitBroker;
  }
  if (!connection.OptionalRefusals().empty()) {
    ReportError("warning: the broker refused the subscription to " + clocks.ReplyFilter() +
                ": the senders' clocks cannot be measured, and their times are taken as sent (does its ACL let this "
                "user read and write under " + broker.prefix + "/clock?)");
  }
  out << "recording " << broker.prefix << "/" << (o.ids.empty() ? std::string("+") : "{" + [&] {
    std::string list;
    for (const std::string& id : o.ids) list += (list.empty() ? "" : ",") + id;
    return list;
  }() + "}") << " from " << broker.url.Text() << " into " << o.folder.string() << "\n"
      << std::flush;

  clocks.Start();
  const auto start = RecordClock::now();
  auto lastProgress = start, lastSession = start;
  bool wasConnected = true;
  bool sessionFailed = false;
  std::deque<Message> taken;
  while (!StopRequested()) {
    const auto now = RecordClock::now();
    if (o.seconds && std::chrono::duration<double>(now - start).count() >= *o.seconds) break;
    {
      std::unique_lock lock(mutex);
      arrived.wait_for(lock, 100ms, [&] { return !queue.empty(); });
      taken.swap(queue);
      queuedBytes = 0;
      recording.dropped_ = dropped;
    }
    for (const Message& m : taken) recording.Handle(m, RecordClock::now());
    taken.clear();
    // session.json follows the recording: at once when a stream ended, and
    // every second for the streams being written.
    const bool ended = recording.Tick(RecordClock::now());
    if (ended || RecordClock::now() - lastSession >= 1s) {
      lastSession = RecordClock::now();
      if (!recording.WriteSession(&error) && !sessionFailed) {
        ReportError(error);
        sessionFailed = true;
      }
    }
    const bool connected = connection.Connected();
    if (connected != wasConnected) {
      if (o.progress) std::fputs("\r\033[K", stderr);
      ReportError(connected ? "the broker is back; recording goes on (what it missed is marked as gaps)"
                            : "lost the broker " + broker.url.Text() + "; reconnecting");
      wasConnected = connected;
    }
    if (o.progress && RecordClock::now() - lastProgress >= 1s) {
      lastProgress = RecordClock::now();
      std::fprintf(stderr, "\r\033[K%s", recording.Progress().substr(0, 200).c_str());
    }
  }
  const bool interrupted = StopRequested();
  if (o.progress) std::fputs("\r\033[K", stderr);
  // Nothing more arrives once the connection is closed; what did is written.
  clocks.Stop();
  connection.Finish("", "", 0ms);
  {
    std::lock_guard lock(mutex);
    for (const Message& m : queue) recording.Handle(m, RecordClock::now());
    queue.clear();
    recording.dropped_ = dropped;
  }
  recording.Finish(interrupted ? "the recording was interrupted" : "the recording ended (--seconds)");
  if (!recording.WriteSession(&error)) {
    ReportError(error);
    sessionFailed = true;
  }
  recording.PrintSummary(out);
  out << std::flush;
  if (sessionFailed || recording.AnyOutputFailed()) return kExitFailure;
  if (interrupted) {
    out << "interrupted\n";
    if (o.seconds) return kExitInterrupted;
  }
  return kExitOk;
}

}  // namespace vozihost
