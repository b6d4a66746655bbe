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
  size_t taken = 0;
  if (held <= 0) {
    // Waits (up to waitMs) for the first byte to arrive and takes exactly
    // that one: the export does not report how many bytes it delivered, so
    // a count of one is the only one known. (ReadLine cannot wait here: with
    // no room for a character it returns at once.)
    if (api.ReadBuffer(index_, buffer_.data(), 1, waitMs)) {
      taken = 1;
      held = api.ReadBuffSize(index_);
    }
  }
  // ReadBuffer copies no more than the ring holds, and it holds at least what
  // was counted (only this thread takes from it), so exactly `held` bytes
  // arrive.
  if (held > 0 && api.ReadBuffer(index_, buffer_.data() + taken, held, 0)) taken += static_cast<size_t>(held);
  result.bytes = taken;
  result.failed = api.IsFailed(index_) != 0;
  lock.unlock();
  if (result.bytes) converter_.Feed(std::string_view(buffer_.data(), result.bytes));
  return result;
}

}  // namespace vozipy
