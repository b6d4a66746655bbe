"""The one use of the library that a process has.

libvozi.so keeps one device table per process: a discovery pass appends
every instrument it finds, and only CloseAll empties the table (closing every
instrument at once). So a new pass can only be made while no instrument is
open; with instruments open, find() and open() work on the table of the last
pass. Closing an instrument stops its stream; its port stays with the library
until the last open instrument is closed, which calls CloseAll."""

import atexit
import os
import signal
import threading
import weakref

from . import _locate
from .errors import Error

# Command codes of DeviceCommand (the public header's VoziCommand).
GET_MODEL_NAME = 0
GET_VERSION_TEXT = 3
GET_PORT_DESCRIPTION = 4
GET_LAST_CHANNEL = 11
GET_CHANNEL_MINIMUM = 17
GET_CHANNEL_MAXIMUM = 18
GET_CHANNEL_UNITS = 19
GET_CHANNEL_NAME = 21
GET_SAMPLE_PERIODS = 32
SELECT_PERIOD = 35
START_STREAM = 37
STOP_STREAM = 38
DISABLE_CHANNEL = 41
ENABLE_CHANNEL = 42

# A library that never ends its discovery pass must not hang the caller.
_MAX_INSTRUMENTS = 256

# Signals that end the process by default without running atexit: a Python
# ended so would leave its simulators running and their trees behind.
_ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP")
                        if hasattr(signal, name))


class Session:
    def __init__(self):
        self.lock = threading.RLock()
        self._library = None
        self.found = []      # InstrumentInfo of the last discovery pass
        self.handles = {}    # index -> handle of an open instrument
        self.simulations = weakref.WeakSet()
        self._owes_close_all = False  # a pass ran since the last CloseAll
        self._signals_taken = []      # ending signals whose default we replaced
        self._signals_pid = None      # the process whose simulators they end

    @property
    def library(self):
        with self.lock:
            if self._library is None:
                from . import _vozi
                try:
                    self._library = _vozi.Library(_locate.library_path())
                except OSError as e:
                    raise Error(str(e)) from None
            return self._library

    def played_silence(self):
        """The longest silence of the recording the instruments found now
        play (those of the simulation the library is pointed at), in seconds;
        0 for instruments that play none."""
        root = os.environ.get("VOZI_DEVICE_ROOT")
        return max((sim.longest_silence for sim in list(self.simulations) if sim.device_root == root),
                   default=0.0)

    def rescan(self, info_type):
        """A fresh discovery pass; only while no instrument is open."""
        with self.lock:
            lib = self.library
            self.close_all()
            found = []
            self._owes_close_all = True
            while len(found) < _MAX_INSTRUMENTS:
                index = lib.find_device()
                if index is None:
                    break
                found.append(info_type(index, lib.unique_id(index)))
            self.found = found
            return found

    def last_index(self):
        return self.found[-1].index if self.found else None

    def close_all(self):
        with self.lock:
            for handle in list(self.handles.values()):
                handle.closed = True
                handle.stream.stop()
            self.handles.clear()
            if self._owes_close_all and self._library is not None:
                self._library.close_all()
            self._owes_close_all = False

    def release(self, handle):
        """An instrument is closed: its stream stops, and with the last one
        every port goes back (CloseAll)."""
        with self.lock:
            if handle.closed:
                return
            handle.closed = True
            handle.stream.stop()
            self.handles.pop(handle.index, None)
            lib = self._library
            # A failed instrument cannot answer the stop request; asking would
            # only wait out the library's five seconds. CloseAll ends it anyway.
            if lib is not None and not lib.is_failed(handle.index):
                lib.command(handle.index, STOP_STREAM)
            if not self.handles:
                self.close_all()

    def end_simulations_on_signals(self):
        """While simulators run, a signal that would end the process at once
        first closes the instruments and ends the simulators, then ends the
        process as the signal would have. Only where the signal still has its
        default action, and only from the main thread (the only one Python
        lets set a handler)."""
        if threading.current_thread() is not threading.main_thread():
            return
        self._signals_pid = os.getpid()
        for signum in _ENDING_SIGNALS:
            if signum not in self._signals_taken and signal.getsignal(signum) is signal.SIG_DFL:
                signal.signal(signum, self._end_by_signal)
                self._signals_taken.append(signum)

    def leave_signals(self):
        """The defaults back, where no one else has changed them since."""
        if threading.current_thread() is not threading.main_thread():
            return
        for signum in self._signals_taken:
            if signal.getsignal(signum) == self._end_by_signal:
                signal.signal(signum, signal.SIG_DFL)
        self._signals_taken = []

    def _end_by_signal(self, signum, frame):
        try:
            # A child forked from this process inherits the handler, but the
            # instruments and simulators are its parent's to end.
            if os.getpid() == self._signals_pid:
                self.shutdown()
        finally:
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)

    def shutdown(self):
        """At interpreter exit: every instrument closed, then the simulators
        ended (the library must let go of their ports first)."""
        try:
            self.close_all()
        finally:
            for sim in list(self.simulations):
                sim.stop()


class Handle:
    """What closing an instrument needs, apart from the Instrument object, so
    that a finalizer can close it after the object is gone."""

    def __init__(self, session, index, stream):
        self.session = session
        self.index = index
        self.stream = stream
        self.closed = False

    def close(self):
        self.session.release(self)


session = Session()
atexit.register(session.shutdown)
