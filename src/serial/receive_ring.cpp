#include "serial/receive_ring.h"

#include <algorithm>
#include <cstring>

#include "platform/deadline.h"

namespace {

bool IsLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }

}  // namespace

// The caller's timeout bounds the whole read, not each wait for a signal. The
// reader thread signals after each read step or batch of them, also after one
// that brought no byte for the ring (noise, a line still in pieces, data
// lines ignored while a stop request goes unanswered); restarting the full
// wait on every such signal would keep the host waiting for as long as the
// instrument talks.
// A read also ends when the ring's waits are abandoned after it began.
class ReceiveRing::ReadWait {
 public:
  ReadWait(const ReceiveRing& ring, uint32_t timeoutMs)
      : ring_(ring), abandoned_(ring.abandonedWaits_.load(std::memory_order_acquire)), deadline_(timeoutMs) {}

  // Waits for the next signal within what is left of the timeout (a timeout
  // of 0 still looks once). False when the time is up or the waits were
  // abandoned.
  bool WaitForSignal(platform::Event& dataReady) {
    if (Abandoned() || (waited_ && deadline_.Expired())) return false;
    waited_ = true;
    return dataReady.Wait(deadline_.RemainingMs()) == platform::WaitResult::Signalled && !Abandoned();
  }

 private:
  bool Abandoned() const { return ring_.abandonedWaits_.load(std::memory_order_acquire) != abandoned_; }

  const ReceiveRing& ring_;
  const uint32_t abandoned_;
  const platform::Deadline deadline_;
  bool waited_ = false;
};

ReceiveRing::ReceiveRing() : data_(new uint8_t[kCapacity]()) {}

int32_t ReceiveRing::HeldBetween(int32_t readPos, int32_t writePos) const {
  int32_t held = writePos - readPos;
  return held < 0 ? held + kCapacity : held;
}

bool ReceiveRing::PutByte(uint8_t byte) {
  const int32_t w = writePos_.load(std::memory_order_relaxed);
  const int32_t next = Next(w);
  if (next == readPos_.load(std::memory_order_acquire)) return false;
  data_[w] = byte;
  writePos_.store(next, std::memory_order_release);
  return true;
}

bool ReceiveRing::PutLine(const uint8_t* bytes, int32_t count) {
  if (count <= 0) return true;
  const int32_t w = writePos_.load(std::memory_order_relaxed);
  const int32_t free = kCapacity - 1 - HeldBetween(readPos_.load(std::memory_order_acquire), w);
  if (count > free) {
    droppedLines_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const int32_t first = std::min(count, kCapacity - w);
  std::memcpy(data_.get() + w, bytes, static_cast<size_t>(first));
  std::memcpy(data_.get(), bytes + first, static_cast<size_t>(count - first));
  writePos_.store((w + count) & (kCapacity - 1), std::memory_order_release);
  return true;
}

int32_t ReceiveRing::Size() const {
  const int32_t r = readPos_.load(std::memory_order_acquire);
  return HeldBetween(r, writePos_.load(std::memory_order_acquire));
}

void ReceiveRing::AbandonWaits(platform::Event& dataReady) {
  abandonedWaits_.fetch_add(1, std::memory_order_acq_rel);
  dataReady.Set();
}

void ReceiveRing::Flush() {
  readPos_.store(writePos_.load(std::memory_order_acquire), std::memory_order_release);
}

bool ReceiveRing::WaitForData(uint8_t& out, int32_t& position, uint32_t timeoutMs, platform::Event& dataReady) {
  ReadWait deadline(*this, timeoutMs);
  while (position == writePos_.load(std::memory_order_acquire)) {
    if (!deadline.WaitForSignal(dataReady)) return false;
  }
  out = data_[position];
  position = Next(position);
  return true;
}

bool ReceiveRing::ReadBuffer(uint8_t* destination, int32_t& count, uint32_t timeoutMs, platform::Event& dataReady) {
  if (Size() == 0) {
    int32_t position = readPos_.load(std::memory_order_relaxed);
    uint8_t peek;
    if (!WaitForData(peek, position, timeoutMs, dataReady)) return false;
  }
  count = std::min(count, Size());
  if (count <= 0) return false;
  const int32_t r = readPos_.load(std::memory_order_relaxed);
  const int32_t first = std::min(count, kCapacity - r);
  std::memcpy(destination, data_.get() + r, static_cast<size_t>(first));
  std::memcpy(destination + first, data_.get(), static_cast<size_t>(count - first));
  readPos_.store((r + count) & (kCapacity - 1), std::memory_order_release);
  return true;
}

bool ReceiveRing::ReadLine(uint8_t* destination, int32_t maximum, uint32_t timeoutMs, platform::Event& dataReady) {
  // Without room for one character nothing can ever be delivered: say so
  // at once. (A true with an empty text would leave every byte where it is,
  // and a host that reads until it gets no line would never stop.)
  if (maximum <= 1) return false;
  ReadWait deadline(*this, timeoutMs);
  int32_t scan = readPos_.load(std::memory_order_relaxed);
  for (;;) {
    const int32_t w = writePos_.load(std::memory_order_acquire);
    while (scan != w && !IsLineEnd(data_[scan])) scan = Next(scan);
    if (scan != w) break;
    if (!deadline.WaitForSignal(dataReady)) return false;
  }
  int32_t r = readPos_.load(std::memory_order_relaxed);
  int32_t copied = 0;
  while (copied < maximum - 1) {
    const uint8_t c = data_[r];
    r = Next(r);
    if (IsLineEnd(c)) break;
    destination[copied++] = c;
  }
  destination[copied] = '\0';
  readPos_.store(r, std::memory_order_release);
  return true;
}
