// The serial port on Win32: a COM port opened for overlapped I/O.
//
// Every operation is bounded. Overlapped requests that outlive the call that
// issued them are either kept in the port object (the comm-event wait, which
// deliberately stays pending between reader passes) or cancelled and collected
// before the call returns (writes and reads), so no driver ever completes into
// memory that has gone.
#include "platform/serial_port.h"

#include "platform/win32/win32_handle.h"

namespace platform {

using win32::ToHandle;

struct SerialPort::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;

  // The overlapped WaitCommEvent. A wait that has not completed when a pass
  // ends stays pending into the next pass (whose SetCommMask completes it), so
  // its OVERLAPPED and mask must live here rather than on a caller's stack.
  OVERLAPPED waitOverlapped{};
  DWORD waitMask = 0;
  bool waitPending = false;

  // Collects the pending comm wait, cancelling it if the driver has not
  // completed it yet. Afterwards the OVERLAPPED may be reused or released.
  // True when the wait had seen received characters that nobody took up.
  bool FinishPendingWait() {
    if (!waitPending) return false;
    waitPending = false;
    DWORD ignored = 0;
    if (GetOverlappedResult(handle, &waitOverlapped, &ignored, FALSE)) {
      return (waitMask & EV_RXCHAR) != 0;
    }
    if (GetLastError() == ERROR_IO_INCOMPLETE) {
      CancelIoEx(handle, &waitOverlapped);
      GetOverlappedResult(handle, &waitOverlapped, &ignored, TRUE);
    }
    return false;
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
  delete impl_;
}

bool SerialPort::Open(const std::u16string& name) {
  Close();
  // Share mode 0: nobody else may talk to the instrument while we hold it.
  impl_->handle = CreateFileW(win32::Wide(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  return impl_->handle != INVALID_HANDLE_VALUE;
}

bool SerialPort::IsOpen() const { return impl_->handle != INVALID_HANDLE_VALUE; }

void SerialPort::Close() {
  if (!IsOpen()) return;
  // A comm wait left pending by the last reader pass writes its OVERLAPPED
  // when it ends; collect it while that memory and its event still exist.
  impl_->FinishPendingWait();
  CloseHandle(impl_->handle);
  impl_->handle = INVALID_HANDLE_VALUE;
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
    // Completed in time; a completion with an error is still a failed write.
    ok = GetOverlappedResult(impl_->handle, &overlapped, &written, FALSE) != FALSE;
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

SerialPort::WaitOutcome SerialPort::WaitForInput(Event& commEvent, Event& stopEvent,
                                                 uint32_t timeoutMs) {
  Impl& p = *impl_;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  // Looked at first: while input keeps arriving a pass may never block, and
  // a wait on both events would report the comm event before the stop.
  if (stopEvent.Wait(0) == WaitResult::Signalled) return WaitOutcome::Stop;

  // Arming the mask completes a wait left pending by the previous pass (with
  // an empty mask) and signals commEvent. Collect that wait and drop its
  // signal, or this pass would mistake it for its own completion.
  if (!SetCommMask(p.handle, EV_RXCHAR)) return WaitOutcome::Failed;
  const bool arrivedUnseen = p.FinishPendingWait();
  commEvent.Reset();
  if (arrivedUnseen || p.InputHeld()) return WaitOutcome::Input;

  p.waitOverlapped = OVERLAPPED{};
  p.waitOverlapped.hEvent = ToHandle(commEvent.Native());
  p.waitMask = 0;
  if (!WaitCommEvent(p.handle, &p.waitMask, &p.waitOverlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) return WaitOutcome::Failed;
    p.waitPending = true;
  }

  while (p.waitPending) {
    const ULONGLONG now = GetTickCount64();
    const DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    const int seen = WaitAny(commEvent, stopEvent, remaining);
    if (seen == -1) return WaitOutcome::Quiet;  // the wait stays pending
    if (seen == 1) return WaitOutcome::Stop;
    if (seen != 0) return WaitOutcome::Failed;
    // commEvent: the wait normally has completed. A late completion of an
    // earlier wait can also signal it, so ask without blocking; blocking here
    // would stop watching stopEvent until a character arrived.
    DWORD ignored = 0;
    if (GetOverlappedResult(p.handle, &p.waitOverlapped, &ignored, FALSE)) {
      p.waitPending = false;
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
      p.waitPending = false;
      return WaitOutcome::Failed;
    }
  }
  return (p.waitMask & EV_RXCHAR) ? WaitOutcome::Input : WaitOutcome::Quiet;
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

bool SerialPort::ParkAfterFailure(Event& commEvent, Event& stopEvent) {
  // Blocks without a time limit: a failed port produces nothing worth polling
  // for. If even this wait fails, ending the reader is better than spinning.
  return WaitAny(commEvent, stopEvent, kInfinite) != 0;
}

}  // namespace platform
