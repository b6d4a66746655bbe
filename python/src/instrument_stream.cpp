#include "instrument_stream.h"

#include <string_view>

namespace vozipy {
namespace {

// The ring holds at most 65535 bytes and refuses the newest bytes when full.
constexpr int32_t kRingBytes = 65535;
// Found within a line's length of full, it has been (or is about to be)
// refusing text.
constexpr int32_t kRingFullBytes = kRingBytes - 512;

}  // namespace

InstrumentStream::InstrumentStream(std::shared_ptr<EnablerLibrary> library, int32_t index,
                                   std::vector<ColumnScale> columns)
    : library_(std::move(library)), index_(index), converter_(std::move(columns)),
      buffer_(kRingBytes + 1) {}

InstrumentStream::Drain InstrumentStream::DrainOnce(uint32_t waitMs) {
  Drain result;
  const VoziEnablerExports& api = library_->Api();
  auto lock = library_->Lock();
  int32_t held = api.ReadBuffSize(index_);
  const bool full = held >= kRingFullBytes;
  if (full && !ringWasFull_) ++ringOverflows_;
  ringWasFull_ = full;
  if (held <= 0) {
    // ReadLine with room for nothing but the terminating zero waits until a
    // whole line is held and then consumes nothing.
    char none[1];
    if (api.ReadLine(index_, none, 1, waitMs)) held = api.ReadBuffSize(index_);
  }
  if (held > 0) {
    // ReadBuffer copies no more than the ring holds, and it holds at least
    // what was counted (only this thread takes from it), so exactly `held`
    // bytes arrive; the export does not report the count itself.
    if (api.ReadBuffer(index_, buffer_.data(), held, 0)) {
      result.bytes = static_cast<size_t>(held);
    }
  }
  result.failed = api.IsFailed(index_) != 0;
  lock.unlock();
  if (result.bytes) converter_.Feed(std::string_view(buffer_.data(), result.bytes));
  return result;
}

}  // namespace vozipy
