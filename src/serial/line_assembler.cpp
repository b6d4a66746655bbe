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
  const int32_t stored = std::min(count, Free());
  const int32_t first = std::min(stored, kSize - head_);
  std::memcpy(buffer_ + head_, bytes, static_cast<size_t>(first));
  std::memcpy(buffer_, bytes + first, static_cast<size_t>(stored - first));
  head_ = (head_ + stored) & kMask;
  return stored;
}

int32_t LineAssembler::TakeLine(uint8_t* destination, bool* lfCrEnding) {
  if (lfCrEnding) *lfCrEnding = false;
  const int32_t held = Held();
  int32_t length = 0;
  while (length < held && buffer_[(tail_ + length) & kMask] != '\n') ++length;
  if (length == held) return 0;

  const bool endsWithCr = length > 0 && buffer_[(tail_ + length - 1) & kMask] == '\r';
  const bool lfIsLastHeld = length + 1 == held;
  // A line without CR before its LF can only be an LF CR line; whether its CR
  // follows is known once the next byte is here, so keep it until then.
  if (!endsWithCr && lfIsLastHeld && length > 0) return 0;

  const int32_t first = std::min(length, kSize - tail_);
  std::memcpy(destination, buffer_ + tail_, static_cast<size_t>(first));
  std::memcpy(destination + first, buffer_, static_cast<size_t>(length - first));
  destination[length] = '\0';

  int32_t consumed = length + 1;
  if (!endsWithCr && !lfIsLastHeld && buffer_[(tail_ + consumed) & kMask] == '\r') {
    ++consumed;
    if (lfCrEnding) *lfCrEnding = true;
  }
  tail_ = (tail_ + consumed) & kMask;
  return consumed;
}

bool LineAssembler::IsStalled() const { return Held() == kMaxHeld; }

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
