#pragma once
// The instrument's description of itself, sent during the handshake as five
// lines (sample periods, channel names, units, upper and lower range values),
// and the set of channels the host wants streamed.
//
// The reader thread fills the lists and clears one `pending` bit per line;
// host threads read the lists only once every bit is clear. The `enabled` set
// is the one part both sides use at the same time (host commands change it
// while the reader thread decodes), so it sits behind its own lock.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class DeviceDescription {
 public:
  // Bits of `pending`: a description line not yet parsed.
  static constexpr uint8_t kPendingNames = 1u << 0;
  static constexpr uint8_t kPendingUnits = 1u << 1;
  static constexpr uint8_t kPendingMaxima = 1u << 2;
  static constexpr uint8_t kPendingMinima = 1u << 3;
  static constexpr uint8_t kPendingPeriods = 1u << 4;
  static constexpr uint8_t kPendingAll = 0x1F;

  // What the "na" (no range) field stands for in the range lines.
  static constexpr float kNoRangeMaximum = 32767.0f;
  static constexpr float kNoRangeMinimum = -32767.0f;

  DeviceDescription();
  DeviceDescription(const DeviceDescription&) = delete;
  DeviceDescription& operator=(const DeviceDescription&) = delete;

  std::vector<std::u16string> names;  // index i is field i of a data line
  std::vector<std::u16string> units;  // "na" fields left out
  std::vector<float> maxima;
  std::vector<float> minima;
  std::vector<int32_t> periods;  // microseconds, in line order
  bool hasCrc = false;
  std::atomic<uint8_t> pending{kPendingAll};
  bool hasEndOfCycle = false;

  // All five lines parsed; the lists may be read from any thread afterwards.
  bool IsComplete() const { return pending.load(std::memory_order_acquire) == 0; }

  // The five line parsers (reader thread). Each appends to its list(s) and
  // then clears its pending bit with a release store; none rejects a line.
  void parsePeriodLine(std::string_view line);
  void parseNamesLine(std::string_view line);
  void parseUnitsLine(std::string_view line);
  void parseMaximaLine(std::string_view line);
  void parseMinimaLine(std::string_view line);

  // The enabled set: data-field indices the host wants streamed.
  void EnableChannel(int32_t index);
  void DisableChannel(int32_t index);
  bool IsChannelEnabled(int32_t index) const;
  std::set<int32_t> EnabledChannels() const;

  // For the decoder, which tests membership for every field of every line
  // without taking the lock: a stamp that changes (process-wide uniquely)
  // whenever the set does, and a copy of the set as a bitmap.
  uint64_t EnabledStamp() const { return enabledStamp_.load(std::memory_order_acquire); }
  // Bit i of `bits` (64 indices per word) tells whether index i is enabled,
  // for 0 <= i < count. Returns the stamp of the set that was copied.
  uint64_t CopyEnabled(int32_t count, std::vector<uint64_t>& bits) const;

 private:
  void ClearPending(uint8_t bit) { pending.fetch_and(static_cast<uint8_t>(~bit), std::memory_order_release); }
  void Restamp();  // with enabledLock_ held

  mutable std::mutex enabledLock_;
  std::set<int32_t> enabled_;
  std::atomic<uint64_t> enabledStamp_;
};
