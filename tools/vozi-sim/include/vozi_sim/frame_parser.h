#pragma once
// Cuts the bytes a host sends into command frames ":" + command + "\n".
// The host's side is not always clean: a CR before the LF, stray bytes
// between frames and frames that arrive in pieces are all tolerated.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vozisim {

struct Frame {
  std::string text;  // command text: the bytes between ':' and LF, CRs removed
  std::string raw;   // exactly the bytes received, from ':' to LF inclusive
  std::chrono::steady_clock::time_point received;
};

class FrameParser {
 public:
  // Longest frame accepted, ':' and LF included; a longer one is junk.
  static constexpr size_t kMaxFrameBytes = 64;

  // Feeds received bytes; each frame completed by them is appended to out.
  void Feed(std::string_view bytes, std::chrono::steady_clock::time_point now,
            std::vector<Frame>& out);

  // Bytes that belonged to no frame: outside frames, unfinished frames cut
  // short by a new ':', over-long frames.
  uint64_t JunkBytes() const { return junk_; }

 private:
  bool inFrame_ = false;
  std::string raw_;
  uint64_t junk_ = 0;
};

}  // namespace vozisim
