#pragma once
// The JSON payloads of an instrument's "info" and "events" topics
// (docs/streaming.md), and the name its topics go under.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "session/acquisition.h"

namespace vozihost {

inline constexpr int kStreamFormat = 2;

// A stream's identity on the broker: its start in microseconds since 1970
// (info's "started_us", every event's "stream", every batch's header).
int64_t StreamUs(std::chrono::system_clock::time_point started);

// The instrument's name in its topics: the unique id in decimal, or
// "serial-<description>" for one that gives none. Characters MQTT gives a
// meaning in topics ('/', '+', '#') become '_'.
std::string TopicId(const DeviceInfo& info);

// Who the instrument is and what its samples mean, and the name of the
// publishing process's clock (which answers a recorder's clock exchanges).
std::string InfoJson(const DeviceStream& s, std::chrono::system_clock::time_point started,
                     const std::string& toolVersion, const std::string& clock);

// Events: "start", "stop", "gap", "lost", "unpublished". Each has the time,
// the stream (its StreamUs) and the position it concerns; the rest depends
// on the event.
std::string StartEvent(int64_t stream, uint64_t position);
// reason: "limit", "interrupted" or "failed".
std::string StopEvent(int64_t stream, uint64_t position, const std::string& reason);
// count: nullopt when some samples are missing but not how many.
std::string GapEvent(int64_t stream, uint64_t position, std::optional<uint64_t> count, const std::string& cause);
std::string LostEvent(int64_t stream, uint64_t position, const std::string& reason);
std::string UnpublishedEvent(int64_t stream, uint64_t position, uint64_t batches);

}  // namespace vozihost
