// The serial port on Win32: a COM port opened for overlapped I/O.
//
// Every operation is bounded. Overlapped requests that outlive the call that
// issued them are either kept in the port object (the comm-event wait, which
// stays pending between reader passes and ends at the latest when the port is
// closed) or cancelled and collected before the call returns (writes and
// reads), so no driver ever completes into memory that has gone.
#include "platform/serial_port.h"

#include "platform/deadline.h"
#include "platform/win32/win32_handle.h"
#include "platform/win32/unload_detach.h"

namespace platform {

using win32::ToHandle;

namespace {

// The comm event belongs to the overlapped comm wait: no other thread may
// signal it, so Wake cannot end a wait early here. Waits are cut to this
// instead, and a change of state is seen within one such look.
constexpr uint32_t kUnwakeableWaitMs = 20;

}  // namespace

struct SerialPort::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;

  // The event of the overlapped WaitCommEvent, and of nothing else.
  Event commEvent;

  // The overlapped WaitCommEvent. A wait that has not completed when a pass
  // ends stays pending into the next pass, so its OVERLAPPED and mask must
  // live here rather than on a caller's stack.
  OVERLAPPED waitOverlapped{};
  DWORD waitMask = 0;
  bool waitPending = false;

  enum class Collected { StillPending, Quiet, Input, Aborted, Failed };

  // Takes up the pending wait if it has ended, without blocking. Windows'
  // serial drivers end it when SetCommMask changes the mask (success, mask
  // 0); Wine's ends it a moment later as aborted. An aborted wait is not a
  // port failure: a port that has really gone fails SetCommMask next.
  Collected CollectWait() {
    DWORD ignored = 0;
    if (GetOverlappedResult(handle, &waitOverlapped, &ignored, FALSE)) {
      waitPending = false;
      return (waitMask & EV_RXCHAR) ? Collected::Input : Collected::Quiet;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return Collected::StillPending;
    waitPending = false;
    return error == ERROR_OPERATION_ABORTED ? Collected::Aborted : Collected::Failed;
  }

  // Starts a new comm wait on commEvent. Immediate results are returned as
  // Input or Quiet; StillPending means it runs.
  Collected StartWait() {
    // An ended wait signalled commEvent; a new wait must not take that signal
    // for its own completion.
    commEvent.Reset();
    waitOverlapped = OVERLAPPED{};
    waitOverlapped.hEvent = ToHandle(commEvent.Native());
    waitMask = 0;
    if (WaitCommEvent(handle, &waitMask, &waitOverlapped)) {
      return (waitMask & EV_RXCHAR) ? Collected::Input : Collected::Quiet;
    }
    if (GetLastError() != ERROR_IO_PENDING) return Collected::Failed;
    waitPending = true;
    return Collected::StillPending;
  }

  // After the handle is closed: closing ends every request still pending on
  // it (the only way to end a comm wait on Wine, whose CancelIoEx does not
  // find it). Waits, within reason, for the driver to write its completion.
  // The completion itself is what is watched, not the event.
  void AwaitClosedWait() {
    for (int step = 0; step < 1000 && !HasOverlappedIoCompleted(&waitOverlapped); ++step) {
      if (WaitForSingleObject(waitOverlapped.hEvent, 1) == WAIT_FAILED) Sleep(1);
    }
    waitPending = !HasOverlappedIoCompleted(&waitOverlapped);
  }

  // Characters the driver already holds. The comm event reports arrivals,
  // not contents: bytes that arrived while no wait was armed, or that the
  // last read left behind, would otherwise wait for the next arrival.
  bool InputHeld() {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(handle, &errors, &status) && status.cbInQue > 0;
  }
};

SerialPort::SerialPort() : impl_(new Impl) {}

SerialPort::~SerialPort() {
  Close();
  // A driver that never completed the comm wait, even on close, may still
  // write into it: leave that memory be rather than free it under the driver.
  if (!impl_->waitPending) delete impl_;
}

bool SerialPort::Open(const std::u16string& name) {
  Close();
  if (impl_->waitPending) return false;  // the old wait still holds this port object
  // Share mode 0: nobody else may talk to the instrument while we hold it.
  impl_->handle = CreateFileW(win32::Wide(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  return impl_->handle != INVALID_HANDLE_VALUE;
}

bool SerialPort::IsOpen() const { return impl_->handle != INVALID_HANDLE_VALUE; }

void SerialPort::Close() {
  if (!IsOpen()) return;
  CloseHandle(impl_->handle);
  impl_->handle = INVALID_HANDLE_VALUE;
  // A comm wait left pending by the last reader pass writes its OVERLAPPED
  // and signals its event when it ends; let it end while both still exist.
  // Not inside a FreeLibrary's detach, where it cannot end before the detach
  // returns: the wait then stays pending, and the destructor leaves its
  // OVERLAPPED allocated for it (the event object is held by the pending
  // request itself, whatever happens to our handle).
  if (impl_->waitPending && !win32::UnloadDetachRunning()) impl_->AwaitClosedWait();
}

bool SerialPort::Configure(int32_t rate, int32_t rtsMode) {
  // Start from the driver's current settings and change only what the line
  // protocol needs: the XON/XOFF and special characters stay the driver's.
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  if (!GetCommState(impl_->handle, &dcb)) return false;
  if (rate > 0) dcb.BaudRate = static_cast<DWORD>(rate);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fRtsControl = static_cast<DWORD>(rtsMode) & 3;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(impl_->handle, &dcb)) return false;

  // Interval MAXDWORD with zero totals: a read returns at once with whatever
  // has been received, so the reader never blocks in ReadFile. Writes have no
  // time-out of their own; Write bounds them.
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(impl_->handle, &timeouts)) return false;
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(impl_->handle, &timeouts) != FALSE;
}

bool SerialPort::Write(const uint8_t* bytes, int32_t length, uint32_t timeoutMs) {
  // Manual-reset, non-signalled, unnamed: it marks the completion of this one
  // write. Without it the write could not be bounded, so it is not started.
  const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr) return false;
  ResetEvent(done);

  OVERLAPPED overlapped{};
  overlapped.hEvent = done;
  DWORD written = 0;
  // A closed port cannot start the write; it then ends like a write on a dead
  // port does, by the time bound below.
  bool started = false;
  if (IsOpen() && length >= 0) {
    if (WriteFile(impl_->handle, bytes, static_cast<DWORD>(length), &written, &overlapped)) {
      CloseHandle(done);
      return true;
    }
    started = GetLastError() == ERROR_IO_PENDING;
  }

  bool ok = false;
  if (WaitForSingleObject(done, timeoutMs) == WAIT_OBJECT_0) {
    // Completed in time; a completion with an error is still a failed write,
    // and a write that never started cannot have completed.
    ok = started && GetOverlappedResult(impl_->handle, &overlapped, &written, FALSE) != FALSE;
  } else if (started) {
    // Not done in time: cancel it and wait for the driver to let go of the
    // OVERLAPPED, the event and the caller's bytes before they disappear.
    // It counts as failed even if it slipped through before the cancel.
    CancelIoEx(impl_->handle, &overlapped);
    GetOverlappedResult(impl_->handle, &overlapped, &written, TRUE);
  }
  CloseHandle(done);
  return ok;
}

SerialPort::WaitOutcome SerialPort::WaitForInput(Event& stopEvent, uint32_t timeoutMs) {
  using Collected = Impl::Collected;
  Impl& p = *impl_;
  Event& commEvent = p.commEvent;
  const Deadline deadline(timeoutMs);
  auto remaining = [&deadline] { return deadline.RemainingMs(); };
  // Looked at first: while input keeps arriving a pass may never block, and
  // a wait on both events would report the comm event before the stop.
  if (stopEvent.Wait(0) == WaitResult::Signalled) return WaitOutcome::Stop;
  if (!SetCommMask(p.handle, EV_RXCHAR)) return WaitOutcome::Failed;

  // The previous pass's wait, if it is still there: ended by the mask change
  // (at once on Windows, shortly after on Wine) or, rarely, by characters
  // that nobody has read yet. One still pending is waited on below.
  Collected state = p.waitPending ? p.CollectWait() : Collected::Quiet;
  if (state == Collected::Input) return WaitOutcome::Input;
  if (state == Collected::Failed) return WaitOutcome::Failed;

  bool restarted = false;
  for (;;) {
    if (!p.waitPending) {
      if (p.InputHeld()) return WaitOutcome::Input;
      state = p.StartWait();
      if (state == Collected::Input) return WaitOutcome::Input;
      if (state == Collected::Quiet) return WaitOutcome::Quiet;
      if (state == Collected::Failed) return WaitOutcome::Failed;
    }
    const int seen = WaitAny(commEvent, stopEvent, remaining());
    if (seen == -1) return WaitOutcome::Quiet;  // the wait stays pending
    if (seen == 1) return WaitOutcome::Stop;
    if (seen != 0) return WaitOutcome::Failed;
    // commEvent normally means the wait has ended, but a signal left over
    // from an earlier wait looks the same: ask without blocking, since
    // blocking here would stop watching stopEvent until a character came.
    switch (p.CollectWait()) {
      case Collected::StillPending:
        continue;
      case Collected::Input:
        return WaitOutcome::Input;
      case Collected::Quiet:
        return WaitOutcome::Quiet;
      case Collected::Failed:
        return WaitOutcome::Failed;
      case Collected::Aborted:
        break;
    }
    // Aborted: the old wait ending late after the mask change, so start a
    // new one. A driver that aborts every wait (Wine on a port without
    // modem lines) leaves only polling: sit out the bound watching the stop
    // event, then look at the queue.
    if (!restarted) {
      restarted = true;
      continue;
    }
    if (stopEvent.Wait(remaining()) == WaitResult::Signalled) return WaitOutcome::Stop;
    return p.InputHeld() ? WaitOutcome::Input : WaitOutcome::Quiet;
  }
}

int32_t SerialPort::ReadAvailable(uint8_t* buffer, int32_t maxBytes) {
  if (!IsOpen() || maxBytes <= 0) return 0;
  const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (done == nullptr) return 0;
  ResetEvent(done);

  OVERLAPPED overlapped{};
  overlapped.hEvent = done;
  DWORD count = 0;
  if (!ReadFile(impl_->handle, buffer, static_cast<DWORD>(maxBytes), &count, &overlapped)) {
    count = 0;
    if (GetLastError() == ERROR_IO_PENDING) {
      // The read time-outs make reads complete at once; a driver that queues
      // the read anyway gets it cancelled, and whatever it had already stored
      // in the buffer is kept.
      if (!GetOverlappedResult(impl_->handle, &overlapped, &count, FALSE) &&
          GetLastError() == ERROR_IO_INCOMPLETE) {
        CancelIoEx(impl_->handle, &overlapped);
        GetOverlappedResult(impl_->handle, &overlapped, &count, TRUE);
      }
    }
  }
  CloseHandle(done);
  return count <= static_cast<DWORD>(maxBytes) ? static_cast<int32_t>(count) : 0;
}

SerialPort::WaitOutcome SerialPort::WaitForInputOrWake(Event& stopEvent, uint32_t timeoutMs) {
  return WaitForInput(stopEvent, timeoutMs < kUnwakeableWaitMs ? timeoutMs : kUnwakeableWaitMs);
}

bool SerialPort::ParkAfterFailure(Event& stopEvent) {
  // Blocks without a time limit: a failed port produces nothing worth polling
  // for. If even this wait fails, ending the reader is better than spinning.
  return WaitAny(impl_->commEvent, stopEvent, kInfinite) != 0;
}

// Nothing to do: see kUnwakeableWaitMs.
void SerialPort::Wake() {}

// Only the comm wait signals its event, and it clears it itself before each
// new wait.
void SerialPort::DiscardWake() {}

bool SerialPort::Ready() const { return impl_->commEvent.Valid(); }

}  // namespace platform
