#pragma once
// A pseudo-terminal pair for tests: the device under test opens the slave by
// its path, the test plays the instrument on the master.
#include <chrono>
#include <cstdint>
#include <string>

namespace testing_support {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  std::u16string SlavePath16() const { return std::u16string(slavePath_.begin(), slavePath_.end()); }

  // Writes all bytes to the master (what the instrument sends).
  void Send(const std::string& bytes);
  // Reads what the host wrote until `count` bytes arrived or the time ran out.
  std::string Receive(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
  // Reads whatever arrives within the time.
  std::string ReceiveFor(std::chrono::milliseconds duration);
  // Closes the master: the slave side sees a hang-up.
  void HangUp();

 private:
  int master_ = -1;
  int keepSlave_ = -1;  // keeps the pty alive between opens of the device
  std::string slavePath_;
};

}  // namespace testing_support
