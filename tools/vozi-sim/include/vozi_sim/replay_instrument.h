#pragma once
// An instrument that plays back the instrument's side of a traced
// conversation (trace_file.h): each frame the host sends is checked against
// the next one in the trace, and answered with the lines the trace recorded
// after it, at the recorded pauses (divided by `speed`), including its
// damaged lines, its silences and its hang-up. A frame the trace does not
// have next makes it say so on `complaints` and fall silent for good.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "vozi_sim/trace_file.h"

namespace vozisim {

class ReplayInstrument {
 public:
  ReplayInstrument(ReplayScript script, double speed = 1.0);
  ~ReplayInstrument();
  ReplayInstrument(const ReplayInstrument&) = delete;
  ReplayInstrument& operator=(const ReplayInstrument&) = delete;

  // Called on the replay's thread with each complaint (a frame the trace
  // does not have); set before Start. Without one they go to stderr.
  void SetComplaintListener(std::function<void(const std::string&)> listener);

  bool Start();
  void Stop();
  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LastError() const { return error_; }

  bool HungUp() const { return hungUp_.load(std::memory_order_acquire); }
  // The host sent what the trace did not: the replay is silent from there.
  bool Diverged() const { return diverged_.load(std::memory_order_acquire); }
  // Every frame of the trace came, and every line after the last was sent.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  struct Engine;

 private:
  ReplayScript script_;
  double speed_;
  std::string slavePath_;
  std::string error_;
  std::function<void(const std::string&)> complain_;
  std::unique_ptr<Engine> engine_;
  std::thread thread_;
  int wakeFd_ = -1;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> diverged_{false};
  std::atomic<bool> finished_{false};
};

}  // namespace vozisim
