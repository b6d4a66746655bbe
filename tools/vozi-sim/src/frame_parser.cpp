#include "vozi_sim/frame_parser.h"

namespace vozisim {

void FrameParser::Feed(std::string_view bytes, std::chrono::steady_clock::time_point now,
                       std::vector<Frame>& out) {
  for (char b : bytes) {
    if (b == ':') {
      // A colon always starts a frame: whatever was collected before it can
      // no longer end well, so it is junk.
      if (inFrame_) junk_ += raw_.size();
      inFrame_ = true;
      raw_.assign(1, b);
      continue;
    }
    if (!inFrame_) {
      ++junk_;
      continue;
    }
    raw_ += b;
    if (b == '\n') {
      Frame f;
      f.raw = std::move(raw_);
      for (size_t i = 1; i + 1 < f.raw.size(); ++i) {
        if (f.raw[i] != '\r') f.text += f.raw[i];
      }
      f.received = now;
      out.push_back(std::move(f));
      raw_.clear();
      inFrame_ = false;
    } else if (raw_.size() >= kMaxFrameBytes) {
      junk_ += raw_.size();
      raw_.clear();
      inFrame_ = false;
    }
  }
}

}  // namespace vozisim
