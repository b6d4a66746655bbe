#pragma once
// The serial port as the device protocol needs it: opened exclusively for
// non-blocking (overlapped) use, configured 8N1 at a rate, bounded writes and
// a bounded wait for input that also watches a stop event.
#include <cstdint>
#include <string>

#include "platform/sync.h"

namespace platform {

// RTS_CONTROL_ENABLE: RTS raised while the port is open.
inline constexpr int32_t kRtsControlEnable = 1;

class SerialPort {
 public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the named port for exclusive use. False when it cannot be opened.
  bool Open(const std::u16string& name);
  bool IsOpen() const;
  void Close();

  // Raw 8N1, no flow control, DTR off, RTS by rtsMode; a rate of 0 or less
  // keeps the line rate the driver has. Reads return at once with whatever
  // is held. False when the driver refuses any step.
  bool Configure(int32_t rate, int32_t rtsMode);

  // Writes a whole frame, waiting at most timeoutMs for it to complete.
  // A write that has not completed in time is cancelled; nothing it used
  // stays in use after the call returns.
  bool Write(const uint8_t* bytes, int32_t length, uint32_t timeoutMs);

  enum class WaitOutcome {
    Quiet,   // nothing arrived within the bound, or Wake was called
    Input,   // received characters are waiting to be read
    Stop,    // the stop event was signalled
    Failed,  // the port can no longer be waited on (unplugged, hung up, closed)
  };
  // Waits at most timeoutMs for received characters or for stopEvent.
  WaitOutcome WaitForInput(Event& stopEvent, uint32_t timeoutMs);
  // The same, and a Wake ends it early (as Quiet). Where Wake cannot end a
  // wait (Windows), the wait is cut to a brief look instead, so that a change
  // of state is noticed within that look all the same.
  WaitOutcome WaitForInputOrWake(Event& stopEvent, uint32_t timeoutMs);

  // Any thread: ends a WaitForInputOrWake in progress (or the next one)
  // early, as Quiet, so that the waiting thread looks at its state again at once.
  // On Linux the port keeps an event of its own for this. On Windows the
  // port's event is the overlapped comm wait's, which nobody else may
  // signal; there Wake does nothing and every wait is brief instead.
  void Wake();
  // Drops a Wake that no wait has taken yet: a new reader starts clean.
  void DiscardWake();

  // Reads what the driver holds now, at most maxBytes, without waiting.
  // A failed read gives 0.
  int32_t ReadAvailable(uint8_t* buffer, int32_t maxBytes);

  // After a failure: blocks until the stop event (true) or, on Windows, a
  // comm event (false). Never spins.
  bool ParkAfterFailure(Event& stopEvent);

  // False when the port's own event could not be made (the process is out
  // of descriptors or handles): such a port can never be waited on.
  bool Ready() const;

  struct Impl;

 private:
  Impl* impl_;
};

}  // namespace platform
