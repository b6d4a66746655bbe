#pragma once
// One read step of the device's reader thread with the bytes coming from the
// fuzzer instead of the serial port: the reader's own step (ReceiveLines),
// fed from a string that plays the driver.
//
// Beside the assembler runs a plain model of the bytes it holds, so that
// every line it gives back is checked against the bytes that arrived: the
// circular store wraps at 8192, and a wrong piece there would hand the
// protocol a line the instrument never sent.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "fuzz_check.h"
#include "platform/hresult.h"
#include "serial/line_assembler.h"

namespace fuzz {

// Hands one line (no leading white space, no CR or LF) to the protocol.
using Dispatch = std::function<HResult(const char* line, int32_t length)>;

// The classic isspace set, for checking what reaches the protocol.
inline bool IsClassicSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

class Reader {
 public:
  explicit Reader(LineAssembler& assembler) : assembler_(assembler) {}

  // Bytes that arrived at the port and wait in the driver.
  void Receive(char byte) { driver_ += byte; }
  bool DriverEmpty() const { return driver_.empty(); }

  // Reads as many waiting bytes as the assembler can take (the rest stays in
  // the driver for the next step, as in the reader) and dispatches every
  // complete line. Returns the first non-OK dispatch result, which ends the
  // step with the remaining lines still held.
  HResult ReadStep(const Dispatch& dispatch) {
    const uint64_t discardedBefore = assembler_.DiscardedLines();
    auto read = [&](uint8_t* buffer, int32_t maxBytes) {
      if (assembler_.DiscardedLines() != discardedBefore) {
        FUZZ_CHECK(held_.find('\n') == std::string::npos, "an assembler holding a line end counts as stalled");
        held_.clear();
        discarding_ = true;
      }
      const size_t count = std::min<size_t>(driver_.size(), static_cast<size_t>(std::max(maxBytes, 0)));
      std::memcpy(buffer, driver_.data(), count);
      ModelAppend(std::string_view(driver_.data(), count));
      driver_.erase(0, count);
      return static_cast<int32_t>(count);
    };
    auto handOn = [&](std::string_view line) { return dispatch(line.data(), static_cast<int32_t>(line.size())); };
    auto observe = [&](const ReceivedLine& line) { ModelTake(line); };
    return ReceiveLines(assembler_, read, handOn, observe);
  }

 private:
  // What the assembler must keep of the bytes it is given: all of them, or,
  // while it discards an overlong line, what follows that line's LF.
  void ModelAppend(std::string_view bytes) {
    size_t skipped = 0;
    if (discarding_) {
      const size_t lf = bytes.find('\n');
      skipped = lf == std::string_view::npos ? bytes.size() : lf + 1;
      discarding_ = lf == std::string_view::npos;
    }
    held_.append(bytes.substr(skipped));
  }

  // The oldest line must come back exactly, as soon as it is complete: its
  // LF has arrived and either a CR precedes it or the next byte is known
  // (an LF CR line takes its CR along).
  void ModelTake(const ReceivedLine& taken) {
    const size_t lf = held_.find('\n');
    const bool endsWithCr = lf != std::string::npos && lf > 0 && held_[lf - 1] == '\r';
    if (taken.consumed == 0) {
      FUZZ_CHECK(lf == std::string::npos || (lf + 1 == held_.size() && lf > 0 && !endsWithCr),
                 "a complete line was not taken: \"" + Printable(held_) + "\"");
    } else {
      FUZZ_CHECK(lf != std::string::npos, "a line was taken before its LF arrived");
      const bool crFollows = !endsWithCr && lf + 1 < held_.size() && held_[lf + 1] == '\r';
      using Ending = ReceivedLine::Ending;
      const Ending ending = endsWithCr ? Ending::CrLf : crFollows ? Ending::LfCr : Ending::Lf;
      FUZZ_CHECK(taken.ending == ending && taken.length == static_cast<int32_t>(lf) &&
                     taken.consumed == static_cast<int32_t>(lf + 1 + (crFollows ? 1 : 0)),
                 "line end taken wrongly in \"" + Printable(held_) + "\"");
      const auto* line = taken.bytes;
      FUZZ_CHECK(std::memcmp(line, held_.data(), lf) == 0 && line[lf] == '\0',
                 "line \"" + Printable(std::string_view(reinterpret_cast<const char*>(line), lf)) +
                     "\" is not the bytes that arrived, \"" + Printable(held_.substr(0, lf)) + "\"");
      held_.erase(0, static_cast<size_t>(taken.consumed));
    }
    FUZZ_CHECK(static_cast<size_t>(assembler_.Held()) == held_.size(), "assembler holds another count");
  }

  LineAssembler& assembler_;
  std::string driver_;   // arrived, not yet read
  std::string held_;     // what the assembler holds, in order
  bool discarding_ = false;
};

}  // namespace fuzz
