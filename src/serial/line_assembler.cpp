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

int32_t LineAssembler::TakeLine(uint8_t* destination, bool* lfCrEnding) {
  if (lfCrEnding) *lfCrEnding = false;
  const int32_t stored = Stored();
  int32_t length = 0;
  while (length < stored && buffer_[(tail_ + length) & kMask] != '\n') ++length;
  if (length == stored) return 0;

  const bool endsWithCr = length > 0 && buffer_[(tail_ + length - 1) & kMask] == '\r';
  const bool lfIsLastStored = length + 1 == stored;
  // The byte after the LF: in the store, kept beside a full store, or not yet here.
  const int32_t next = !lfIsLastStored ? buffer_[(tail_ + length + 1) & kMask] : lookahead_;
  // A line without CR before its LF can only be an LF CR line; whether its CR
  // follows is known once the next byte is here, so keep it until then.
  if (!endsWithCr && next < 0 && length > 0) return 0;

  const int32_t first = std::min(length, kSize - tail_);
  std::memcpy(destination, buffer_ + tail_, static_cast<size_t>(first));
  std::memcpy(destination + first, buffer_, static_cast<size_t>(length - first));
  destination[length] = '\0';

  const bool crAfterLf = !endsWithCr && next == '\r';
  if (lfCrEnding) *lfCrEnding = crAfterLf;
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
  return length + 1 + (crAfterLf ? 1 : 0);
}

bool LineAssembler::IsStalled() const {
  if (Stored() != kMaxHeld) return false;
  const int32_t first = std::min(kMaxHeld, kSize - tail_);
  return !std::memchr(buffer_ + tail_, '\n', static_cast<size_t>(first)) &&
         !std::memchr(buffer_, '\n', static_cast<size_t>(kMaxHeld - first));
}

void LineAssembler::DiscardStalledLine() {
  tail_ = head_;
  discarding_ = true;
  ++discardedLines_;
}

std::optional<std::string_view> LineContent(const uint8_t* line, int32_t consumed, bool lfCrEnding) {
  // The classic isspace set.
  auto isSpace = [](uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  int32_t length = consumed - 1 - (lfCrEnding ? 1 : 0);  // bytes before the LF
  while (length > 0 && isSpace(*line)) {
    ++line;
    --length;
  }
  if (length >= 2 && line[length - 1] == '\r') {
    --length;  // CR LF: the usual line end
  } else if (!(lfCrEnding && length >= 1)) {
    return std::nullopt;
  }
  return std::string_view(reinterpret_cast<const char*>(line), static_cast<size_t>(length));
}
