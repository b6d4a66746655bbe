#pragma once
// A recording in EDF+ (BDF+ when a channel's values do not fit 16 bits), the
// format EEG and polygraphy tools open: one signal per channel with its
// name, units and the physical range the enabler scales into 0..32767, which
// are therefore the digital values as they arrive. Annotations mark the
// stream's start and stop and every gap. Built on libedf where the build
// machine has it (Linux); elsewhere Open says so.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/device_info.h"

namespace vozihost {

struct EdfHeader {
  std::vector<ChannelInfo> columns;
  int64_t periodUs = 0;
  std::chrono::system_clock::time_point start;
  std::string equipment;  // instrument, description, firmware
  std::string recording;  // the tool and its version
};

class EdfRecording {
 public:
  // Null with the reason in *error when the file cannot be made (or this
  // build has no EDF support).
  static std::unique_ptr<EdfRecording> Open(const std::filesystem::path& path, const EdfHeader& header,
                                            std::string* error);
  virtual ~EdfRecording() = default;

  // One sample: the values as the enabler sent them, one per column.
  virtual void Add(const std::vector<int32_t>& decoded) = 0;
  // Samples missing before sample position n: padded with each signal's
  // digital minimum and annotated, so the samples after keep their time;
  // nullopt: some are missing, how many is unknown (annotated only).
  virtual void Gap(uint64_t n, std::optional<uint64_t> count) = 0;
  // A note at onsetUs microseconds after the file's first sample (a span
  // of durationUs, or a moment), written at Close: the annotation's text is
  // cut to 40 bytes (what libedf keeps) at a character's boundary. A file
  // holds a few annotations per data record, and those of the stream come
  // first; NotesWritten says how many notes found room.
  virtual void Note(int64_t onsetUs, std::optional<int64_t> durationUs, const std::string& text) = 0;
  virtual uint64_t NotesWritten() const = 0;
  // Completes the last data record, writes the stop annotation, closes.
  virtual bool Close(std::string* error) = 0;
  // "EDF+" or "BDF+".
  virtual const char* Kind() const = 0;
};

// Whether this build can write EDF at all.
bool EdfSupported();

}  // namespace vozihost
