#pragma once
// A line protocol that records the lines the reader thread dispatches, and a
// frame writer that records the frames a device sends.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "serial/frame_writer.h"
#include "serial/line_protocol.h"

namespace testing_support {

class RecordingProtocol : public LineProtocol {
 public:
  void pollTransmit(OpenKymo::VoziSerial&) override { ++passes_; }
  HResult dispatchLine(OpenKymo::VoziSerial&, const char* line, int32_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line, static_cast<size_t>(length));
    changed_.notify_all();
    return abortOn_.empty() || lines_.back() != abortOn_ ? kS_OK : kE_ABORT;
  }
  // Waits until `count` lines were dispatched; returns the lines seen.
  std::vector<std::string> WaitForLines(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
    return lines_;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void AbortOn(std::string line) { abortOn_ = std::move(line); }
  int Passes() const { return passes_.load(); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string abortOn_;
  std::atomic<int> passes_{0};
};

class RecordingWriter : public FrameWriter {
 public:
  bool WriteFrame(const uint8_t* bytes, int32_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    return true;
  }
  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> frames_;
};

}  // namespace testing_support
