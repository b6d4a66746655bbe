#pragma once
// One read step of the device's reader thread with the bytes coming from the
// fuzzer instead of the serial port: the same assembler handling and the same
// line cutting as VoziSerial::ReadStep (src/serial/reader_loop.cpp), which
// cannot be driven without a port. Keep the two in step; a pure helper in the
// serial layer that both use would make this copy unnecessary.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/hresult.h"
#include "serial/line_assembler.h"

namespace fuzz {

// Hands one line (no leading white space, no CR or LF) to the protocol.
using Dispatch = std::function<HResult(const char* line, int32_t length)>;

inline bool IsClassicSpace(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `driver` holds the bytes that arrived but were not read yet. Reads as many
// of them as the assembler can take (the rest stays for the next step, as in
// the reader) and dispatches every complete line. Returns the first non-OK
// dispatch result, which ends the step with the remaining lines still held.
inline HResult ReadStep(LineAssembler& assembler, std::string& driver, const Dispatch& dispatch) {
  uint8_t buffer[LineAssembler::kSize];
  if (assembler.IsStalled()) assembler.DiscardStalledLine();
  const size_t count = std::min<size_t>(driver.size(), static_cast<size_t>(assembler.Free()));
  assembler.Append(reinterpret_cast<const uint8_t*>(driver.data()), static_cast<int32_t>(count));
  driver.erase(0, count);

  for (;;) {
    bool lfCr = false;
    const int32_t consumed = assembler.TakeLine(buffer, &lfCr);
    if (consumed == 0) return kS_OK;
    int32_t length = consumed - 1 - (lfCr ? 1 : 0);  // bytes before the LF
    const uint8_t* line = buffer;
    while (length > 0 && IsClassicSpace(*line)) {
      ++line;
      --length;
    }
    if (length >= 2 && line[length - 1] == '\r') {
      --length;  // CR LF: the usual line end
    } else if (!(lfCr && length >= 1)) {
      continue;  // no CR: not a line of the instrument
    }
    const HResult result = dispatch(reinterpret_cast<const char*>(line), length);
    if (result != kS_OK) return result;
  }
}

}  // namespace fuzz
