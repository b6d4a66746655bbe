#include "instrument_stream.h"

#include <algorithm>
#include <chrono>
#include <string_view>

namespace vozipy {
namespace {

// The ring holds at most 65535 bytes; a decoded line that does not fit whole
// is refused.
constexpr int32_t kRingBytes = 65535;
// A decoded line is "@ ", then per column a value (an unscaled one has up to
// 11 characters) and a comma, then LF.
int64_t LongestRingLine(size_t columns) { return 2 + 12 * static_cast<int64_t>(columns) + 1; }

}  // namespace

InstrumentStream::InstrumentStream(std::shared_ptr<EnablerLibrary> library, int32_t index,
                                   std::vector<ColumnScale> columns, int64_t periodUs)
    : library_(std::move(library)), index_(index), converter_(std::move(columns)),
      buffer_(kRingBytes + 1), clock_(periodUs) {}

InstrumentStream::Drain InstrumentStream::DrainOnce(uint32_t waitMs) {
  Drain result;
  const VoziEnablerExports& api = library_->Api();
  auto lock = library_->Lock();
  int32_t held = api.ReadBuffSize(index_);
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
  // A line is refused only when the ring lacks room for it, i.e. holds more
  // than 65535 - its length. Each drain empties the ring, so since the
  // previous one it held at most what was taken plus what arrived while it
  // was taken (held now): within a longest line of full, it may have refused
  // lines again, however often it did before.
  const int32_t after = api.ReadBuffSize(index_);
  const bool ringFull =
      static_cast<int64_t>(taken) + std::max(after, 0) + LongestRingLine(converter_.Columns()) > kRingBytes;
  if (ringFull) ++ringOverflows_;
  result.bytes = taken;
  result.failed = api.IsFailed(index_) != 0;
  lock.unlock();
  const double now =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const LineCounts& before = converter_.Counts();
  const uint64_t linesBefore = before.samples + before.malformed;
  if (result.bytes) converter_.Feed(std::string_view(buffer_.data(), result.bytes));
  bytesTaken_ += result.bytes;
  const LineCounts& counts = converter_.Counts();
  const uint64_t lines = counts.samples + counts.malformed;
  const double lineBytes = lines ? static_cast<double>(bytesTaken_) / static_cast<double>(lines) : 0.0;
  const double waiting = lineBytes > 0 ? std::max(after, 0) / lineBytes : 0.0;
  clock_.Drained(now, lines, lines - linesBefore, waiting, ringFull);
  return result;
}

}  // namespace vozipy
