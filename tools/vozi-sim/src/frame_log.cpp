#include "vozi_sim/frame_log.h"

namespace vozisim {

void FrameLog::Add(Frame frame) {
  {
    std::lock_guard lock(mutex_);
    frames_.push_back(std::move(frame));
  }
  changed_.notify_all();
}

void FrameLog::Clear() {
  std::lock_guard lock(mutex_);
  frames_.clear();
}

std::vector<Frame> FrameLog::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::vector<std::string> FrameLog::Texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  texts.reserve(frames_.size());
  for (const Frame& f : frames_) texts.push_back(f.text);
  return texts;
}

size_t FrameLog::Count() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

std::optional<size_t> FrameLog::WaitFor(std::string_view text, std::chrono::milliseconds timeout,
                                        size_t from) const {
  std::unique_lock lock(mutex_);
  std::optional<size_t> found;
  changed_.wait_for(lock, timeout, [&] {
    for (size_t i = from; i < frames_.size(); ++i) {
      if (frames_[i].text == text) {
        found = i;
        return true;
      }
    }
    // Nothing before the current end can match later; scan only new frames.
    from = std::max(from, frames_.size());
    return false;
  });
  return found;
}

bool FrameLog::WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
}

}  // namespace vozisim
