#pragma once
// The messages of an instrument's topics as a subscriber reads them
// (docs/streaming.md): "info" and "events" JSON, "samples" batches in
// formats 1 and 2. Everything from the broker is hostile until checked: each
// parser bounds the message before it looks inside, checks the type of every
// field it uses, and says in one phrase why a message was refused.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/device_info.h"

namespace vozihost {

inline constexpr size_t kMaxInfoBytes = 256 * 1024;
inline constexpr size_t kMaxEventBytes = 16 * 1024;
inline constexpr size_t kMaxBatchBytes = 8 * 1024 * 1024;
inline constexpr int kMaxJsonDepth = 16;
// More than EDF+ can hold in one file, and more than any instrument has.
inline constexpr size_t kMaxChannels = 512;

struct RemoteInfo {
  int format = 0;  // 1 or 2
  std::optional<std::string> uniqueId;
  std::string model, firmware, version, description;
  int64_t periodUs = 0;  // 0: the publisher knows none
  std::vector<ChannelInfo> channels;
  std::string tool;       // the publisher's name and version, as published
  std::string started;    // ISO 8601 text as published
  int64_t startedUs = 0;  // format 1: from `started` (milliseconds)
  std::string clock;      // the publishing process's clock name; empty: none given
};

struct RemoteBatch {
  int format = 0;
  uint16_t channels = 0;
  uint32_t count = 0;
  uint64_t first = 0;
  int64_t hostTimeUs = 0;
  std::optional<int64_t> streamUs;  // format 2 only
  std::vector<float> values;        // count x channels
};

struct RemoteEvent {
  std::string event;  // start, stop, gap, lost, unpublished, or one not known yet
  uint64_t position = 0;
  std::optional<int64_t> stream;  // format 2
  std::optional<uint64_t> count;  // gap: nullopt when unknown
  std::string reason;             // stop, lost
};

// Nullopt with *why when the message is refused.
std::optional<RemoteInfo> ParseInfo(const std::string& payload, std::string* why);
std::optional<RemoteBatch> ParseBatch(const std::string& payload, std::string* why);
std::optional<RemoteEvent> ParseEvent(const std::string& payload, std::string* why);

// Whether JSON text nests arrays and objects deeper than `depth` (strings
// skipped): looked at before parsing, so that no parser recurses on it.
bool NestedDeeperThan(const std::string& json, int depth);

// "2026-12-07T20:41:00.123Z" as microseconds since 1970; nullopt for any
// other shape.
std::optional<int64_t> ParseIsoTimeUs(const std::string& text);

}  // namespace vozihost
