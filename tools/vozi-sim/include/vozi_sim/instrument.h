#pragma once
// A simulated Vozi instrument on a pseudo-terminal, served by its own thread.
//
//   vozisim::SimConfig cfg;                 // defaults: VZ-8, six channels
//   vozisim::Instrument sim(cfg);
//   sim.Start();                            // sim.SlavePath() is e.g. /dev/pts/7
//   ... a host opens the slave path and talks to it ...
//   sim.Frames().WaitFor("B", 1s);          // frames received, in order
//   sim.Stop();
//
// The data lines it streams are exactly DataLine(cfg, n) (samples.h) at the
// selected period, n counting from 0 at every "B" that starts a stream.
// While no host has the slave open, lines are not sent (they would only pile
// up in the terminal and reach the next host stale).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "vozi_sim/description.h"
#include "vozi_sim/frame_log.h"
#include "vozi_sim/samples.h"
#include "vozi_sim/sim_config.h"

namespace vozisim {

class Instrument {
 public:
  explicit Instrument(SimConfig cfg = {});
  ~Instrument();
  Instrument(const Instrument&) = delete;
  Instrument& operator=(const Instrument&) = delete;

  // Opens the pseudo-terminal and starts serving. False (with the reason in
  // LastError()) when the config is invalid or the terminal cannot be made.
  bool Start();
  // Ends the thread and closes everything. Safe to call more than once.
  void Stop();
  // Closes the pty master as an unplugged instrument would: hosts see a
  // hang-up, the slave path disappears, the thread ends.
  void HangUp();
  // From now on no sample is sent, as if the instrument's converter stopped,
  // while the conversation goes on (a stop is still answered). Once
  // AllDataSent(), DataLinesSent() is final: a host can then tell exactly
  // which lines it should have had.
  void StopSendingData();
  bool AllDataSent() const { return allDataSent_.load(std::memory_order_acquire); }

  const std::string& SlavePath() const { return slavePath_; }
  const std::string& LastError() const { return error_; }
  const SimConfig& Config() const { return cfg_; }

  // False once stopped or hung up.
  bool Running() const { return running_.load(std::memory_order_acquire); }
  bool HungUp() const { return hungUp_.load(std::memory_order_acquire); }
  bool Streaming() const { return streaming_.load(std::memory_order_acquire); }
  bool XReceived() const { return xReceived_.load(std::memory_order_acquire); }
  int64_t PeriodMicros() const { return periodUs_.load(std::memory_order_acquire); }
  // Whether some host has the slave open (always true without inotify).
  bool HostPresent() const { return hostPresent_.load(std::memory_order_acquire); }

  // Lines completely written to the pty (answers, data, over-long lines).
  // Counted just after each write, so a host may read a line a moment before
  // it is counted.
  uint64_t LinesSent() const { return linesSent_.load(std::memory_order_acquire); }
  uint64_t DataLinesSent() const { return dataLinesSent_.load(std::memory_order_acquire); }
  // Samples that came due but were not sent: nobody listening, or the host
  // not draining and too much already waiting.
  uint64_t DataLinesDropped() const { return dataLinesDropped_.load(std::memory_order_acquire); }

  // Every frame received, in order, with its raw bytes.
  const FrameLog& Frames() const { return frames_; }
  FrameLog& Frames() { return frames_; }

  // Called on the instrument thread for each frame received (set before
  // Start).
  void SetFrameListener(std::function<void(const Frame&)> listener);

  struct Engine;  // the thread's state (instrument.cpp)

 private:
  void Run();

  SimConfig cfg_;
  std::string slavePath_;
  std::string error_;
  std::unique_ptr<Engine> engine_;
  std::thread thread_;
  int wakeFd_ = -1;
  std::function<void(const Frame&)> listener_;
  FrameLog frames_;

  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> hangUpRequested_{false};
  std::atomic<bool> dataStopRequested_{false};
  std::atomic<bool> allDataSent_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<bool> xReceived_{false};
  std::atomic<bool> hostPresent_{false};
  std::atomic<int64_t> periodUs_{0};
  std::atomic<uint64_t> linesSent_{0};
  std::atomic<uint64_t> dataLinesSent_{0};
  std::atomic<uint64_t> dataLinesDropped_{0};
};

}  // namespace vozisim
