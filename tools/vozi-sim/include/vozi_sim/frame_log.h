#pragma once
// Thread-safe record of every frame the instrument received, in order, so a
// test can check the exact frames on the wire and wait for one to arrive.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vozi_sim/frame_parser.h"

namespace vozisim {

class FrameLog {
 public:
  void Add(Frame frame);
  void Clear();

  std::vector<Frame> Frames() const;
  std::vector<std::string> Texts() const;  // the command texts, in order
  size_t Count() const;

  // Waits until a frame whose text equals `text` is recorded at an index of at
  // least `from`; returns that index, or nullopt after the timeout.
  std::optional<size_t> WaitFor(std::string_view text, std::chrono::milliseconds timeout,
                                size_t from = 0) const;
  // Waits until at least `count` frames are recorded.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Frame> frames_;
};

}  // namespace vozisim
