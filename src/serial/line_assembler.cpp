#include "serial/line_assembler.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr int32_t kMask = LineAssembler::kSize - 1;
}

int32_t LineAssembler::Append(const uint8_t* bytes, int32_t count) {
  if (count <= 0) return 0;
  int32_t skipped = 0;
  if (discarding_) {
    // Still inside a line too long to keep: drop it up to its LF.
    const uint8_t* lf = static_cast<const uint8_t*>(std::memchr(bytes, '\n', static_cast<size_t>(count)));
    if (!lf) return 0;
    discarding_ = false;
    skipped = static_cast<int32_t>(lf - bytes) + 1;
    bytes += skipped;
    count -= skipped;
  }
  int32_t stored = std::min(count, kMaxHeld - Stored());
  const int32_t first = std::min(stored, kSize - head_);
  std::memcpy(buffer_ + head_, bytes, static_cast<size_t>(first));
  std::memcpy(buffer_, bytes + first, static_cast<size_t>(stored - first));
  head_ = (head_ + stored) & kMask;
  if (stored < count && lookahead_ < 0 && FullWithLineAwaitingItsEnd()) lookahead_ = bytes[stored++];
  return stored;
}

int32_t LineAssembler::Free() const {
  const int32_t room = kMaxHeld - Stored();
  if (room > 0) return room;
  return lookahead_ < 0 && FullWithLineAwaitingItsEnd() ? 1 : 0;
}

bool LineAssembler::FullWithLineAwaitingItsEnd() const {
  return Stored() == kMaxHeld && buffer_[(head_ - 1) & kMask] == '\n' && buffer_[(head_ - 2) & kMask] != '\r';
}

int32_t LineAssembler::FindLf() const {
  // The held bytes lie in at most two stretches: from tail_ to the end of
  // the store, then from its start.
  const int32_t stored = Stored();
  const int32_t first = std::min(stored, kSize - tail_);
  if (const void* lf = std::memchr(buffer_ + tail_, '\n', static_cast<size_t>(first))) {
    return static_cast<int32_t>(static_cast<const uint8_t*>(lf) - (buffer_ + tail_));
  }
  if (const void* lf = std::memchr(buffer_, '\n', static_cast<size_t>(stored - first))) {
    return first + static_cast<int32_t>(static_cast<const uint8_t*>(lf) - buffer_);
  }
  return -1;
}

ReceivedLine LineAssembler::TakeLine(uint8_t* scratch) {
  ReceivedLine line;
  const int32_t length = FindLf();
  if (length < 0) return line;
  const int32_t stored = Stored();

  const bool endsWithCr = length > 0 && buffer_[(tail_ + length - 1) & kMask] == '\r';
  const bool lfIsLastStored = length + 1 == stored;
  // The byte after the LF: in the store, kept beside a full store, or not yet here.
  const int32_t next = !lfIsLastStored ? buffer_[(tail_ + length + 1) & kMask] : lookahead_;
  // A line without CR before its LF can only be an LF CR line; whether its CR
  // follows is known once the next byte is here, so keep it until then.
  if (!endsWithCr && next < 0 && length > 0) return line;

  const int32_t first = std::min(length, kSize - tail_);
  std::memcpy(scratch, buffer_ + tail_, static_cast<size_t>(first));
  std::memcpy(scratch + first, buffer_, static_cast<size_t>(length - first));
  scratch[length] = '\0';

  const bool crAfterLf = !endsWithCr && next == '\r';
  line.bytes = scratch;
  line.length = length;
  line.ending = endsWithCr ? ReceivedLine::Ending::CrLf
                : crAfterLf ? ReceivedLine::Ending::LfCr
                            : ReceivedLine::Ending::Lf;
  line.consumed = length + 1 + (crAfterLf ? 1 : 0);
  tail_ = (tail_ + length + 1 + (crAfterLf && !lfIsLastStored ? 1 : 0)) & kMask;
  if (lookahead_ >= 0) {
    // Room again: the byte kept beside the store joins it, unless it was the
    // CR just taken with the line.
    if (!(crAfterLf && lfIsLastStored)) {
      buffer_[head_] = static_cast<uint8_t>(lookahead_);
      head_ = (head_ + 1) & kMask;
    }
    lookahead_ = -1;
  }
  return line;
}

bool LineAssembler::IsStalled() const { return Stored() == kMaxHeld && FindLf() < 0; }

void LineAssembler::DiscardStalledLine() {
  tail_ = head_;
  discarding_ = true;
  ++discardedLines_;
}

std::optional<std::string_view> ReceivedLine::Content() const {
  // The classic isspace set.
  auto isSpace = [](uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  const uint8_t* text = bytes;
  int32_t n = length;
  while (n > 0 && isSpace(*text)) {
    ++text;
    --n;
  }
  // A CR LF line keeps its CR among the bytes, and white space at the start
  // may have eaten it: at least one byte besides the CR must be left.
  if (ending == Ending::CrLf && n >= 2) {
    --n;
  } else if (!(ending == Ending::LfCr && n >= 1)) {
    return std::nullopt;
  }
  if (const void* zero = std::memchr(text, '\0', static_cast<size_t>(n))) {
    n = static_cast<int32_t>(static_cast<const uint8_t*>(zero) - text);
  }
  return std::string_view(reinterpret_cast<const char*>(text), static_cast<size_t>(n));
}
