#pragma once
// Cuts the received byte stream into lines. The instrument ends every line
// with CR LF; the assembler keeps bytes until their LF has arrived.
#include <cstdint>
#include <optional>
#include <string_view>

class LineAssembler {
 public:
  static constexpr int32_t kSize = 8192;
  // One slot stays free, so at most kSize - 1 bytes are stored.
  static constexpr int32_t kMaxHeld = kSize - 1;

  // Stores as many of the bytes as it can take (see Free) and returns that
  // number. While an overlong line is being discarded, bytes up to and
  // including its LF are consumed without being stored.
  int32_t Append(const uint8_t* bytes, int32_t count);

  // Copies the oldest complete line (the bytes before its LF) to destination,
  // which must hold kSize bytes, and writes a NUL in place of the LF. Returns
  // the bytes consumed (line + LF, + 1 when a CR right after the LF was taken
  // with it), 0 when no complete line is held. lfCrEnding tells whether such a
  // trailing CR was taken.
  int32_t TakeLine(uint8_t* destination, bool* lfCrEnding = nullptr);

  int32_t Held() const { return Stored() + (lookahead_ >= 0 ? 1 : 0); }
  // How many bytes Append takes now: the room in the store, or, when a line
  // and its LF fill the store exactly, the one byte after them that tells
  // whether a CR ends that line.
  int32_t Free() const;

  // A line that cannot complete: the store is full and holds no LF. Its bytes
  // are dropped and the rest of it, up to its LF, will be dropped as it
  // arrives, so that the stream recovers at the next line.
  bool IsStalled() const;
  void DiscardStalledLine();
  uint64_t DiscardedLines() const { return discardedLines_; }

 private:
  int32_t Stored() const { return (head_ - tail_) & (kSize - 1); }
  // The store is full and ends with an LF that no CR precedes: the line
  // before it is complete, but how it ends is known only from the next byte.
  bool FullWithLineAwaitingItsEnd() const;

  uint8_t buffer_[kSize];
  int32_t head_ = 0;
  int32_t tail_ = 0;
  // The byte received after a store that FullWithLineAwaitingItsEnd; -1 when
  // there is none. It goes into the store as soon as that line is taken.
  int32_t lookahead_ = -1;
  bool discarding_ = false;
  uint64_t discardedLines_ = 0;
};

// What the protocol gets of a line TakeLine gave back (consumed bytes, and
// whether a CR after the LF came along): the text without white space at its
// start and without its CR. nullopt when it is no instrument line: nothing
// left, or no CR at either side of the LF.
std::optional<std::string_view> LineContent(const uint8_t* line, int32_t consumed, bool lfCrEnding);
