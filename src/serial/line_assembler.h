#pragma once
// Cuts the received byte stream into lines and hands them on. The instrument
// ends every line with CR LF; bare LF and LF CR endings are taken too. The
// assembler keeps bytes until a line's ending is known.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/hresult.h"

// One line taken from the assembler.
struct ReceivedLine {
  enum class Ending { None, CrLf, Lf, LfCr };

  // Bytes taken from the store: the line, its LF and, for LfCr, the CR after
  // it. 0 when no complete line was held.
  int32_t consumed = 0;
  // The bytes before the LF (for CrLf the CR is the last of them), followed
  // by a NUL.
  const uint8_t* bytes = nullptr;
  int32_t length = 0;
  Ending ending = Ending::None;

  // What the protocol gets: the text without white space at its start and
  // without its CR, ending at its first zero byte (the protocol reads it as
  // a C string). nullopt when it is no instrument line: nothing before the
  // line end, or no CR at either side of the LF.
  std::optional<std::string_view> Content() const;
};

class LineAssembler {
 public:
  static constexpr int32_t kSize = 8192;
  // One slot stays free, so at most kSize - 1 bytes are stored.
  static constexpr int32_t kMaxHeld = kSize - 1;

  // Stores as many of the bytes as it can take (see Free) and returns that
  // number. While an overlong line is being discarded, bytes up to and
  // including its LF are consumed without being stored.
  int32_t Append(const uint8_t* bytes, int32_t count);

  // Takes the oldest complete line: one whose LF has arrived and whose
  // ending is known (a line without CR before its LF is kept until the next
  // byte tells whether a CR follows). Its bytes are copied to scratch, which
  // must hold kSize bytes, with a NUL in place of the LF.
  ReceivedLine TakeLine(uint8_t* scratch);

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
  // Offset from tail_ of the first LF held, or -1.
  int32_t FindLf() const;
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

struct NoLineObserver {
  void operator()(const ReceivedLine&) const {}
};

// One read step of the reader thread: drops a line that can no longer
// complete, reads what the assembler can take (read(buffer, maximum) returns
// the count; what stays in the driver is read on the next step instead of
// being dropped), then hands the content of every complete instrument line
// to dispatch (std::string_view -> HResult). A result other than kS_OK ends
// the step at once with that result; the lines still held wait for the next
// step. observe sees every line taken, and the final empty take.
template <typename Read, typename Dispatch, typename Observe = NoLineObserver>
HResult ReceiveLines(LineAssembler& assembler, Read&& read, Dispatch&& dispatch, Observe&& observe = {}) {
  uint8_t buffer[LineAssembler::kSize];
  if (assembler.IsStalled()) assembler.DiscardStalledLine();
  assembler.Append(buffer, read(buffer, assembler.Free()));
  for (;;) {
    const ReceivedLine line = assembler.TakeLine(buffer);
    observe(line);
    if (line.consumed == 0) return kS_OK;
    const std::optional<std::string_view> content = line.Content();
    if (!content) continue;
    const HResult result = dispatch(*content);
    if (result != kS_OK) return result;
  }
}
