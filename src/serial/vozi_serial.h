#pragma once
// The device object: one per instrument found, owned by the device table.
// Its fields are shared between the host's calling thread and the device's
// reader thread; everything written by one and read by the other is atomic,
// guarded, or published before an atomic state change.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/com_port.h"
#include "serial/handshake_state.h"
#include "serial/line_assembler.h"
#include "serial/line_protocol.h"
#include "serial/receive_ring.h"
#include "text/nrv_string.h"

class DeviceDescription;

namespace OpenKymo {

// A device's events could not be made: the process has run out of
// descriptors (handles). A device without them could neither wait for input
// nor be told to stop, so it is not made at all; to its maker this is one
// more resource that could not be had, as memory can fail to be.
class DeviceResourcesExhausted : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "the device's events could not be made"; }
};

class VoziSerial : public COMPort {
 public:
  // Throws DeviceResourcesExhausted when its events cannot be made. Frames go
  // to transmitter when one is given (a recorder), to the port otherwise.
  VoziSerial(const char16_t* portName, int32_t uniqueId, std::u16string portDescription,
             FrameWriter* transmitter = nullptr);
  ~VoziSerial() override;
  VoziSerial(const VoziSerial&) = delete;
  VoziSerial& operator=(const VoziSerial&) = delete;

  // Tells the instrument to stop (X) when the port is open, ends the reader
  // thread, closes the port, and ends the waits of host-side reads.
  void Close() override;
  // The port's write, traced.
  bool WriteFrame(const uint8_t* bytes, int32_t length) override;

  // Starts the reader thread for `lineProtocol` on a port that is open and
  // configured. Any previous reader thread has ended before this returns, and
  // the new one starts with a clean stop signal.
  bool StartReader(LineProtocol* lineProtocol);
  // The protocol instance the device keeps for its reader threads.
  LineProtocol* OwnedProtocol() const { return ownedProtocol_.get(); }
  void AdoptProtocol(std::unique_ptr<LineProtocol> lineProtocol) { ownedProtocol_ = std::move(lineProtocol); }
  bool ReaderRunning() const;
  // The reader thread of the current start has failed: it saw the port fail,
  // ended because the conversation cannot go on, or could not be started.
  // Nothing will answer until the device is started again.
  bool ReaderFailed() const { return readerFailed_.load(std::memory_order_acquire); }
  // Signals the reader thread to stop (if not yet done) and waits until it
  // has ended.
  void EndReader();

  // Host-side reads. A device that was never started (no ring yet) answers as
  // an empty ring does.
  bool ReadLine(uint8_t* destination, int32_t maximum, uint32_t timeoutMs);
  bool ReadBuffer(uint8_t* destination, int32_t& count, uint32_t timeoutMs);
  int32_t ReadBuffSize() const;
  void FlushReadBuffer();
  // Replaces the ring by an empty one. Only while no reader thread runs; a
  // host-side read still busy with the previous ring keeps it until it ends.
  void NewReceiveRing();
  // The ring for the reader thread (and tests), which never runs while the
  // ring is replaced.
  ReceiveRing* Ring() { return receiveRing_.get(); }

  // The channel description. Host threads take a snapshot under the lock;
  // the reader thread, its only writer, may use ReaderDescription unlocked.
  std::shared_ptr<DeviceDescription> Description() const;
  DeviceDescription* ReaderDescription() const { return readerDescription_; }
  void InstallDescription(std::shared_ptr<DeviceDescription> description);

  // Where frames go: the port, or the transmitter given at creation.
  FrameWriter& Transmitter() { return transmitOverride_ ? *transmitOverride_ : *this; }

  // Identity given at creation.
  const std::u16string portName;
  const std::u16string portDescription;
  const int32_t uniqueId;

  // Sticky flags: they only ever go from false to true.
  std::atomic<bool> firmwareWrong{false};
  std::atomic<bool> notResponding{false};
  std::atomic<bool> failed{false};
  std::atomic<bool> stopRequested{false};
  // Set by CloseAll before it waits for a call in flight on the device: the
  // device is being closed for good, so a start-up still waiting for the
  // instrument's version ends now instead of at its limit.
  std::atomic<bool> closing{false};

  // Filled from the version line by the reader thread before the handshake
  // state moves on (published by that release), so that whoever sees
  // handshakeState.VersionReceived() may read them.
  std::u16string firmwareNumber;
  std::u16string firmwareVersion;
  std::u16string modelName;

  // Per-device error text for the host; nothing stores one, so it stays
  // empty. Host thread only.
  NRV::String lastError;

  std::atomic<int32_t> channelCount{0};
  // The header line of the step in progress ("F" or "I") has arrived;
  // cleared as each of those steps begins. Reader thread only.
  bool headerSeen = false;
  HandshakeStateCell handshakeState;

  // Reader thread only (the assembler outlives restarts, as the line does).
  LineAssembler lineAssembler;

  platform::Event stopEvent;
  platform::Event dataReadyEvent;

  // Reader thread body and its steps.
  void ReaderLoop();
  HResult WaitStep();
  HResult ReadStep();
  // Wakes a host waiting for the ring, also for what reads held back from
  // it (see WaitStep); reader thread.
  void SignalHost();
  void SignalHostIfHeldBack();

  // Tells the reader thread that the conversation's state changed, so that
  // it resends at once instead of at the end of a long quiet wait.
  void WakeReader();

  // While the protocol awaits nothing, a quiet line is looked at this often
  // instead of every 20 ms (the port may cut it shorter).
  static constexpr uint32_t kReaderIdleWaitMs = 1000;

  // Bounded wait of Close for the reader thread to notice the stop.
  static constexpr uint32_t kReaderStopWaitMs = 500;
  static constexpr uint32_t kReaderPollMs = 20;

 private:
  // Sets failed and readerFailed_; reader thread.
  void MarkReaderFailed();

  std::atomic<bool> readerFailed_{false};
  // Reader thread only: what the last read step brought, and what arrived
  // since the host was last woken (and from when).
  int32_t lastReadBytes_ = 0;
  int32_t unsignalledBytes_ = 0;
  uint64_t unsignalledSinceUs_ = 0;
  // A read at least this big means the reader is behind the instrument.
  static constexpr int32_t kBurstReadBytes = 1024;
  static constexpr int32_t kSignalBatchBytes = 16384;
  static constexpr int32_t kSignalBatchUs = 500;
  std::unique_ptr<LineProtocol> ownedProtocol_;
  std::unique_ptr<platform::Thread> readerThread_;
  // The host-side reads take their own reference under ringLock_.
  std::shared_ptr<ReceiveRing> HostRing() const;
  mutable std::mutex ringLock_;
  std::shared_ptr<ReceiveRing> receiveRing_;
  LineProtocol* protocol_ = nullptr;
  FrameWriter* const transmitOverride_;

  mutable std::mutex descriptionLock_;
  std::shared_ptr<DeviceDescription> deviceInfo_;
  DeviceDescription* readerDescription_ = nullptr;
};

}  // namespace OpenKymo
