#include "serial/vozi_serial.h"

#include "serial/command_frame.h"
#include "trace/trace.h"

namespace OpenKymo {
namespace {

uint32_t ReaderEntry(void* argument) {
  static_cast<VoziSerial*>(argument)->ReaderLoop();
  return 0;
}

}  // namespace

VoziSerial::VoziSerial(const char16_t* name, int32_t id, std::u16string description, FrameWriter* transmitter)
    : portName(name ? name : u""),
      portDescription(std::move(description)),
      uniqueId(id),
      transmitOverride_(transmitter) {
  if (!port_.Ready() || !stopEvent.Valid() || !dataReadyEvent.Valid()) throw DeviceResourcesExhausted();
}

VoziSerial::~VoziSerial() {
  Close();
  // The reader thread has ended (Close waits for it), so the ring, the
  // description and the events can go.
}

void VoziSerial::Close() {
  // The stop frame, and the pause that lets it reach the instrument, only
  // where there is a port to carry it: closing a device that was found but
  // never started costs nothing.
  if (IsOpen()) {
    SendCommand(Transmitter(), "X");
    platform::SleepMs(20);
  }
  EndReader();
  ClosePort();
  // Nothing fills the ring any more: a host-side read still waiting on it
  // would otherwise sit out its own time-out, an infinite one for ever.
  if (const std::shared_ptr<ReceiveRing> ring = HostRing()) {
    ring->AbandonWaits(dataReadyEvent);
  } else {
    dataReadyEvent.Set();  // the wait of a read on a device never started
  }
}

bool VoziSerial::WriteFrame(const uint8_t* bytes, int32_t length) {
  // Traced before it is written, so that an answer never shows before it.
  trace::FrameSent(portName, bytes, length);
  const bool written = COMPort::WriteFrame(bytes, length);
  if (!written) trace::Step(portName, "that frame was not written within %u ms", kWriteWaitMs);
  return written;
}

void VoziSerial::EndReader() {
  if (!stopRequested.exchange(true)) stopEvent.Set();
  if (!readerThread_) return;
  // The thread sees the stop within one 20 ms wait step. Should it still be
  // busy after the bounded wait, it must nevertheless end before anything it
  // uses is released or reused, so wait on.
  if (!readerThread_->Join(kReaderStopWaitMs)) readerThread_->Join(platform::kInfinite);
  trace::Step(portName, "reader ended");
}

bool VoziSerial::StartReader(LineProtocol* lineProtocol) {
  EndReader();
  readerThread_.reset();
  // A restarted device gets a clean stop signal: no stop left pending from an
  // earlier Close, and a Close after this one signals the new thread.
  stopRequested.store(false);
  stopEvent.Reset();
  port_.DiscardWake();
  readerFailed_.store(false);
  protocol_ = lineProtocol;
  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start(ReaderEntry, this)) {
    readerFailed_.store(true, std::memory_order_release);
    return false;
  }
  thread->RaisePriority();
  readerThread_ = std::move(thread);
  return true;
}

bool VoziSerial::ReaderRunning() const { return readerThread_ && !readerThread_->Join(0); }

void VoziSerial::NewReceiveRing() {
  std::shared_ptr<ReceiveRing> ring = std::make_shared<ReceiveRing>();
  const std::lock_guard<std::mutex> lock(ringLock_);
  receiveRing_.swap(ring);
}

std::shared_ptr<ReceiveRing> VoziSerial::HostRing() const {
  const std::lock_guard<std::mutex> lock(ringLock_);
  return receiveRing_;
}

bool VoziSerial::ReadLine(uint8_t* destination, int32_t maximum, uint32_t timeoutMs) {
  const std::shared_ptr<ReceiveRing> ring = HostRing();
  if (!ring) {
    // Never started: nothing will arrive, but the caller still gets its wait.
    dataReadyEvent.Wait(timeoutMs);
    return false;
  }
  return ring->ReadLine(destination, maximum, timeoutMs, dataReadyEvent);
}

bool VoziSerial::ReadBuffer(uint8_t* destination, int32_t& count, uint32_t timeoutMs) {
  const std::shared_ptr<ReceiveRing> ring = HostRing();
  if (!ring) {
    dataReadyEvent.Wait(timeoutMs);
    return false;
  }
  return ring->ReadBuffer(destination, count, timeoutMs, dataReadyEvent);
}

int32_t VoziSerial::ReadBuffSize() const {
  const std::shared_ptr<ReceiveRing> ring = HostRing();
  return ring ? ring->Size() : 0;
}

void VoziSerial::FlushReadBuffer() {
  if (const std::shared_ptr<ReceiveRing> ring = HostRing()) ring->Flush();
}

std::shared_ptr<DeviceDescription> VoziSerial::Description() const {
  std::lock_guard<std::mutex> lock(descriptionLock_);
  return deviceInfo_;
}

void VoziSerial::InstallDescription(std::shared_ptr<DeviceDescription> description) {
  std::shared_ptr<DeviceDescription> previous;
  {
    std::lock_guard<std::mutex> lock(descriptionLock_);
    previous = std::move(deviceInfo_);
    deviceInfo_ = std::move(description);
    readerDescription_ = deviceInfo_.get();
  }
  // A host thread may still hold the previous one; it lives until released.
}

}  // namespace OpenKymo
