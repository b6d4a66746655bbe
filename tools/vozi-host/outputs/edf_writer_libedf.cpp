#include <edflib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "outputs/edf_writer.h"
#include "outputs/output_files.h"
#include "record/marker.h"

namespace vozihost {
namespace {

// BDF's 24-bit samples, for values the enabler passes on unscaled.
constexpr int32_t kBdfMax = 8388607;
constexpr int32_t kBdfMin = -8388608;
constexpr int kAnnotationSignals = 4;
// libedf keeps this much of an annotation's text.
constexpr size_t kAnnotationTextBytes = 40;

// Header fields are printable ASCII.
std::string Ascii(const std::string& text) {
  std::string out;
  for (unsigned char c : text) out += (c >= 32 && c < 127) ? static_cast<char>(c) : '_';
  return out;
}

class LibedfRecording final : public EdfRecording {
 public:
  LibedfRecording(std::filesystem::path path, int handle, std::vector<bool> scaled, int samplesPerRecord,
                  int64_t periodUs, bool bdf)
      : path_(std::move(path)), handle_(handle), scaled_(std::move(scaled)), perRecord_(samplesPerRecord),
        periodUs_(periodUs), bdf_(bdf), record_(scaled_.size(), std::vector<int>(perRecord_)) {}
  ~LibedfRecording() override {
    if (handle_ >= 0) edfclose_file(handle_);
  }

  void Add(const std::vector<int32_t>& decoded) override {
    for (size_t k = 0; k < record_.size(); ++k) {
      int32_t value = k < decoded.size() ? decoded[k] : Minimum(k);
      if (!scaled_[k]) value = std::clamp(value, kBdfMin, kBdfMax);
      record_[k][fill_] = value;
    }
    Advance();
  }

  void Gap(uint64_t n, std::optional<uint64_t> count) override {
    if (!count) {
      Annotate(n, -1, "BAD lost samples: number unknown");
      return;
    }
    Annotate(n - *count, static_cast<int64_t>(*count), "BAD lost samples: " + std::to_string(*count));
    Pad(*count);
  }

  void Note(int64_t onsetUs, std::optional<int64_t> durationUs, const std::string& text) override {
    notes_.push_back(Pending{onsetUs / 100, durationUs ? *durationUs / 100 : -1, Utf8Prefix(text, kAnnotationTextBytes)});
  }

  uint64_t NotesWritten() const override { return notesWritten_; }

  bool Close(std::string* error) override {
    const uint64_t end = written_ + fill_;
    // libedf stores as many annotations as the data records have annotation
    // signals and drops the rest without a word: notes take only the room
    // the stream's own annotations (the stop and the padding to come) leave.
    const uint64_t records = (end + static_cast<uint64_t>(perRecord_) - 1) / static_cast<uint64_t>(perRecord_);
    const uint64_t room = records * kAnnotationSignals;
    const uint64_t needed = annotations_ + 1 + (fill_ > 0 ? 1 : 0);
    for (const Pending& n : notes_) {
      if (needed + notesWritten_ + 1 > room) break;
      edfwrite_annotation_utf8(handle_, n.onset, n.duration, n.text.c_str());
      ++notesWritten_;
    }
    Annotate(end, -1, "stream stop");
    if (fill_ > 0) {
      const uint64_t rest = static_cast<uint64_t>(perRecord_ - fill_);
      Annotate(end, static_cast<int64_t>(rest), "BAD padding, no samples");
      Pad(rest);
    }
    const int handle = handle_;
    handle_ = -1;
    errno = 0;
    const bool closed = edfclose_file(handle) == 0;
    if (!failed_ && closed) return true;
    // The first failure's reason: later ones (or none) say less.
    const int reason = failed_ ? failedErrno_ : errno;
    *error = "error writing " + path_.string() + ": " + (reason ? std::strerror(reason) : "libedf failed");
    return false;
  }

  const char* Kind() const override { return bdf_ ? "BDF+" : "EDF+"; }

  void Annotate(uint64_t n, int64_t samples, const std::string& text) {
    // Onsets and durations in units of 100 us.
    const long long onset = static_cast<long long>(n) * periodUs_ / 100;
    const long long duration = samples < 0 ? -1 : samples * periodUs_ / 100;
    edfwrite_annotation_utf8(handle_, onset, duration, text.c_str());
    ++annotations_;
  }

 private:
  int Minimum(size_t k) const { return scaled_[k] ? 0 : kBdfMin; }

  void Pad(uint64_t count) {
    for (uint64_t i = 0; i < count && !failed_; ++i) {
      for (size_t k = 0; k < record_.size(); ++k) record_[k][fill_] = Minimum(k);
      Advance();
    }
  }

  void Advance() {
    if (++fill_ < perRecord_) return;
    for (std::vector<int>& signal : record_) {
      errno = 0;
      if (edfwrite_digital_samples(handle_, signal.data()) != 0 && !failed_) {
        failed_ = true;
        failedErrno_ = errno;
      }
    }
    written_ += static_cast<uint64_t>(perRecord_);
    fill_ = 0;
  }

  std::filesystem::path path_;
  int handle_;
  std::vector<bool> scaled_;
  int perRecord_;
  int64_t periodUs_;
  bool bdf_;
  std::vector<std::vector<int>> record_;  // one data record per signal
  int fill_ = 0;
  uint64_t written_ = 0;
  bool failed_ = false;
  int failedErrno_ = 0;
  struct Pending {
    long long onset, duration;  // units of 100 us
    std::string text;
  };
  std::vector<Pending> notes_;
  uint64_t annotations_ = 0;  // the stream's own so far
  uint64_t notesWritten_ = 0;
};

}  // namespace

bool EdfSupported() { return true; }

std::unique_ptr<EdfRecording> EdfRecording::Open(const std::filesystem::path& path, const EdfHeader& h,
                                                 std::string* error) {
  const int64_t p = h.periodUs;
  // One-second data records where the rate is a whole number of hertz;
  // otherwise one sample per record, which EDF allows in steps of 10 us.
  int samplesPerRecord = 1;
  int recordDuration = 0;  // units of 10 us; 0: the default second
  if (p > 0 && 1000000 % p == 0) {
    samplesPerRecord = static_cast<int>(1000000 / p);
  } else if (p > 0 && p % 10 == 0 && p <= 60000000) {
    recordDuration = static_cast<int>(p / 10);
  } else {
    *error = "EDF cannot hold a sample period of " + std::to_string(p) + " us" +
             (p <= 0 ? " (choose one with --period)" : "");
    return nullptr;
  }
  std::vector<bool> scaled;
  for (const ChannelInfo& c : h.columns) scaled.push_back(c.Scaled());
  const bool bdf = std::find(scaled.begin(), scaled.end(), false) != scaled.end();
  if (!WriteWholeFile(path, "", error)) return nullptr;  // folders, and the reason if unwritable
  errno = 0;
  const int handle = edfopen_file_writeonly(path.string().c_str(),
                                            bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS,
                                            static_cast<int>(h.columns.size()));
  if (handle < 0) {
    *error = "cannot write " + path.string() + ": libedf error " + std::to_string(handle) +
             (errno ? " (" + SystemReason() + ")" : std::string());
    return nullptr;
  }
  auto recording = std::make_unique<LibedfRecording>(path, handle, scaled, samplesPerRecord, p, bdf);
  bool ok = recordDuration == 0 || edf_set_datarecord_duration(handle, recordDuration) == 0;
  for (size_t k = 0; k < h.columns.size(); ++k) {
    const ChannelInfo& c = h.columns[k];
    const int s = static_cast<int>(k);
    ok = ok && edf_set_samplefrequency(handle, s, samplesPerRecord) == 0;
    ok = ok && edf_set_label(handle, s, Ascii(c.name).c_str()) == 0;
    ok = ok && edf_set_physical_dimension(handle, s, Ascii(c.units).c_str()) == 0;
    if (c.Scaled()) {
      const double low = *c.minimum;
      // Equal ends scale nothing: the enabler's integer means nothing then,
      // and the value is the one end (digital 0).
      const double high = *c.maximum != *c.minimum ? *c.maximum : low + 1;
      ok = ok && edf_set_physical_minimum(handle, s, low) == 0 && edf_set_physical_maximum(handle, s, high) == 0;
      ok = ok && edf_set_digital_minimum(handle, s, 0) == 0 && edf_set_digital_maximum(handle, s, 32767) == 0;
    } else {
      ok = ok && edf_set_physical_minimum(handle, s, kBdfMin) == 0 && edf_set_physical_maximum(handle, s, kBdfMax) == 0;
      ok = ok && edf_set_digital_minimum(handle, s, kBdfMin) == 0 && edf_set_digital_maximum(handle, s, kBdfMax) == 0;
    }
  }
  const std::time_t seconds = std::chrono::system_clock::to_time_t(h.start);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(h.start.time_since_epoch()).count() % 1000;
  ok = ok && edf_set_startdatetime(handle, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                   local.tm_min, local.tm_sec) == 0;
  ok = ok && edf_set_subsecond_starttime(handle, static_cast<int>(ms) * 10000) == 0;
  ok = ok && edf_set_equipment(handle, Ascii(h.equipment).c_str()) == 0;
  ok = ok && edf_set_recording_additional(handle, Ascii(h.recording).c_str()) == 0;
  ok = ok && edf_set_number_of_annotation_signals(handle, kAnnotationSignals) == 0;
  if (!ok) {
    *error = "libedf refused the header of " + path.string();
    return nullptr;
  }
  recording->Annotate(0, -1, "stream start");
  return recording;
}

}  // namespace vozihost
