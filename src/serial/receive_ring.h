#pragma once
// The 64 KiB ring of decoded sample text that the host drains. One producer
// (the reader thread) and one consumer at a time (the host's calling thread);
// positions are atomics, a byte is stored before writePos moves past it.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/sync.h"

class ReceiveRing {
 public:
  static constexpr int32_t kCapacity = 0x10000;

  ReceiveRing();

  // Producer side.
  // Appends one byte; a full ring drops it (stored bytes are never overwritten).
  bool PutByte(uint8_t byte);
  // Appends a whole line or, when it does not fit, nothing: a torn line would
  // run into the next one and the host would read wrong numbers. Each refused
  // line is counted.
  bool PutLine(const uint8_t* bytes, int32_t count);
  uint64_t DroppedLines() const { return droppedLines_.load(std::memory_order_relaxed); }

  // Consumer side.
  int32_t Size() const;
  // Empties the ring. Done by the consumer (readPos catches up with writePos),
  // so it never races with the producer storing a byte.
  void Flush();
  // Copies up to count bytes held; waits up to timeoutMs on dataReady for the
  // first byte when the ring is empty. count becomes the number delivered.
  bool ReadBuffer(uint8_t* destination, int32_t& count, uint32_t timeoutMs, platform::Event& dataReady);
  // Copies one line (without its CR or LF) or a piece of it, NUL-terminated,
  // once a CR or LF is held; waits up to timeoutMs for more bytes. False at
  // once, with nothing consumed or written, when maximum leaves no room for
  // a character (below 2).
  bool ReadLine(uint8_t* destination, int32_t maximum, uint32_t timeoutMs, platform::Event& dataReady);
  // Peeks at the byte at position (advancing the copy), waiting for it.
  bool WaitForData(uint8_t& out, int32_t& position, uint32_t timeoutMs, platform::Event& dataReady);

  // Any thread: reads waiting now end at once, as timed out (what is held is
  // still theirs to take if it suffices). Reads begun later wait as usual.
  // For a device being closed, whose ring no reader thread fills any more.
  void AbandonWaits(platform::Event& dataReady);

 private:
  class ReadWait;
  friend struct ReceiveRingTestAccess;  // places the positions, to test wrapping

  static int32_t Next(int32_t position) { return (position + 1) & (kCapacity - 1); }
  int32_t HeldBetween(int32_t readPos, int32_t writePos) const;

  std::atomic<int32_t> readPos_{0};
  std::atomic<int32_t> writePos_{0};
  std::unique_ptr<uint8_t[]> data_;
  std::atomic<uint64_t> droppedLines_{0};
  std::atomic<uint32_t> abandonedWaits_{0};
};
