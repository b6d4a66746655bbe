"""Finding, starting and reading Vozi instruments."""

import collections
import math
import re
import warnings
import weakref

from . import _session as S
from .errors import (DataLost, Error, NotFound, NotResponding, from_library_message)

# An instrument silent for this long (or five sample periods, if longer) has
# stopped streaming; the same bound as the reference host's.
_STALL_SECONDS = 3.0


class InstrumentInfo(collections.namedtuple("InstrumentInfo", "index unique_id")):
    """An instrument found by a discovery pass, not started.

    index: its place in the library's device table (valid until the next pass);
    unique_id: the identifier the library derives from the adapter's serial
    number (None when the library gives none)."""


class Channel(collections.namedtuple("Channel", "index name units minimum maximum")):
    """One channel: its index on the instrument (1, 2, ...), name, units and
    the range the library scales into 0..32767 (None when the instrument gave
    none: its values then arrive unscaled)."""

    @property
    def step(self):
        """One step of the scale: the resolution of the values in physical units."""
        if self.minimum is None or self.maximum is None:
            return 1.0
        return (float(self.maximum) - float(self.minimum)) / 32767.0


class Loss(collections.namedtuple(
        "Loss", "converted malformed no_prefix wrong_count bad_value ring_overflows missing gaps "
                "unsized")):
    """What can be known about lost samples, beside what arrived.

    converted: lines that arrived whole and became rows so far (none of them
    lost); malformed: lines that could not be converted (no_prefix: their
    start was lost; wrong_count: values missing or lines run together;
    bad_value: a field that is no number or out of range); ring_overflows:
    times a read found the library's 64 KiB receive ring full since the
    previous one: it refuses whole lines then. missing: samples that never
    arrived, as the clock shows (fewer lines than the period allows), in
    `gaps` places; unsized: ring overflows the clock could not size (the
    instrument sent faster than its period)."""

    @property
    def dropped(self):
        """Samples known lost: malformed lines, samples missing, and one for
        each ring overflow that could not be sized."""
        return self.malformed + self.missing + self.unsized


def find():
    """The instruments present, without starting them: [InstrumentInfo, ...].

    While instruments are open the library cannot look again without closing
    them all, so the list of the last discovery pass is returned."""
    session = S.session
    with session.lock:
        if session.handles:
            return list(session.found)
        return session.rescan(InstrumentInfo)


def open(index_or_unique_id=None, period=None, channels=None, *, unique_id=None):
    """Starts an instrument and its stream; returns an Instrument.

    index_or_unique_id: an index (int) or an InstrumentInfo from find(); the
    first instrument found when None. unique_id: choose by the unique
    identifier instead. period: the sample period in seconds, one of those the
    instrument offers (default: the first it offers, where an instrument
    starts); it is always selected, whatever period an earlier host chose
    before. channels: channel
    indices (1, 2, ...) or names to stream (default: all); the columns come in
    channel order."""
    session = S.session
    with session.lock:
        if not session.handles:
            session.rescan(InstrumentInfo)
        info = _choose(session, index_or_unique_id, unique_id)
        if info.index in session.handles:
            raise Error("instrument %d is already open" % info.index)
        try:
            return Instrument._start(session, info, period, channels)
        except BaseException:
            if not session.handles:
                session.close_all()
            raise


def _library_failure(session, index, what, fallback=Error):
    """The exception for a failure of instrument `index`. The library explains
    only the state of the instrument found last (or, with none found, why);
    for any other instrument it would describe the wrong one."""
    if index is None or index == session.last_index():
        message = session.library.last_error(-1)
        cls = from_library_message(message, fallback)
        text = message if not what else "%s\n%s" % (what, message)
        return cls(text, library_message=message)
    return fallback("%s (the library explains failures only for the instrument found last, %d)"
                    % (what, session.last_index()))


def _choose(session, selector, unique_id):
    found = session.found
    if not found:
        raise _library_failure(session, None, "", NotFound)
    if unique_id is not None:
        matches = [f for f in found if f.unique_id == unique_id]
        what = "unique id %r" % unique_id
    elif selector is None:
        return found[0]
    elif isinstance(selector, InstrumentInfo):
        if selector.unique_id is not None:
            matches = [f for f in found if f.unique_id == selector.unique_id]
        else:
            matches = [f for f in found if f.index == selector.index]
        what = repr(selector)
    elif isinstance(selector, int) and not isinstance(selector, bool):
        matches = [f for f in found if f.index == selector]
        what = "index %d" % selector
    else:
        raise TypeError("an index, an InstrumentInfo or unique_id=..., not %r" % (selector,))
    if not matches:
        raise NotFound("no instrument with %s (found: %s)"
                       % (what, ", ".join("index %d, unique id %s" % f for f in found)))
    return matches[0]


def _parse_periods(text):
    # Decimal integers separated by commas; a field that is no whole number of
    # microseconds cannot be selected and is skipped, as vozi-host does.
    return [int(f) for f in text.split(",") if re.fullmatch(r"-?[0-9]+", f)]


class Instrument:
    """A started instrument, streaming. Use it as a context manager, or call
    close(); it is also closed when it is garbage-collected and when the
    interpreter exits."""

    @classmethod
    def _start(cls, session, info, period, channels):
        lib = session.library
        index = info.index
        if not lib.initialise(index):
            raise _library_failure(session, index, "instrument %d did not start" % index)

        def ask(code, name, argument=0):
            ok, text, count, value = lib.command(index, code, argument)
            if not ok:
                # The library refuses commands when the instrument never
                # finished describing itself.
                raise _library_failure(session, index, "instrument %d refused %s" % (index, name),
                                       NotResponding)
            return text, count, value

        self = cls.__new__(cls)
        self._info = info
        self._played_silence = session.played_silence()
        self._description = ask(S.GET_PORT_DESCRIPTION, "GetPortDescription")[0]
        self._model = ask(S.GET_MODEL_NAME, "GetModelName")[0]
        self._version = ask(S.GET_VERSION_TEXT, "GetVersionText")[0]
        last = ask(S.GET_LAST_CHANNEL, "GetLastChannel")[1]
        # The library lists the periods in the reverse of the instrument's order.
        periods_us = list(reversed(_parse_periods(ask(S.GET_SAMPLE_PERIODS, "GetSamplePeriods")[0])))
        if last > 255:
            raise NotResponding("instrument %d describes %d channels" % (index, last))
        every = []
        for c in range(1, last + 1):
            name = ask(S.GET_CHANNEL_NAME, "GetChannelName", c)[0] or "Channel %d" % c
            units = ask(S.GET_CHANNEL_UNITS, "GetChannelUnits", c)[0]
            low = ask(S.GET_CHANNEL_MINIMUM, "GetChannelMinimum", c)[2]
            high = ask(S.GET_CHANNEL_MAXIMUM, "GetChannelMaximum", c)[2]
            if low is None or high is None:
                low = high = None
            every.append(Channel(c, name, units, low, high))
        self._all_channels = every
        self._channels = _choose_channels(every, channels)
        self._periods_us = periods_us
        self._period_us, self._period_assumed = _choose_period(periods_us, period)

        # Selected even when it is where the instrument starts: an earlier host
        # may have left it at another, and no command reports the current one.
        if not self._period_assumed and not lib.command(index, S.SELECT_PERIOD, self._period_us)[0]:
            raise _library_failure(session, index, "instrument %d refused SelectPeriod" % index)
        # Every handshake starts with no channel enabled; disabling the rest
        # makes the set exact even after an earlier host's choice.
        wanted = {c.index for c in self._channels}
        for c in every:
            code = S.ENABLE_CHANNEL if c.index in wanted else S.DISABLE_CHANNEL
            if not lib.command(index, code, c.index)[0]:
                raise _library_failure(session, index, "instrument %d refused a channel" % index)

        from . import _vozi
        stream = _vozi.Stream(lib, index, [c.minimum for c in self._channels],
                              [c.maximum for c in self._channels],
                              0 if self._period_assumed else self._period_us)
        if not lib.command(index, S.START_STREAM)[0]:
            raise _library_failure(session, index, "instrument %d did not start streaming" % index,
                                   NotResponding)
        self._stream = stream
        self._handle = S.Handle(session, index, stream)
        session.handles[index] = self._handle
        self._finalizer = weakref.finalize(self, self._handle.close)
        self._seen_loss = (0, 0, 0, 0)
        self._warned_fast = False
        return self

    # --- identity -----------------------------------------------------------
    @property
    def index(self):
        return self._info.index

    @property
    def unique_id(self):
        return self._info.unique_id

    @property
    def description(self):
        """The port description: the adapter's serial number after its first
        three characters."""
        return self._description

    @property
    def model(self):
        return self._model

    @property
    def version(self):
        """The version text the library builds from the instrument's version
        line, e.g. "1.1.0.1"."""
        return self._version

    @property
    def firmware(self):
        """The firmware number, the part of the version text the library
        checks against its requirement (after the third dot)."""
        parts = self._version.split(".", 3)
        return parts[3] if len(parts) == 4 else self._version

    @property
    def channels(self):
        """The streamed channels, one per column of the arrays read."""
        return list(self._channels)

    @property
    def all_channels(self):
        return list(self._all_channels)

    @property
    def periods(self):
        """The sample periods the instrument offers, in seconds, in its own order."""
        return [p / 1e6 for p in self._periods_us]

    @property
    def period(self):
        """The sample period in seconds, selected by open(): the one asked
        for, or else the first the instrument offers."""
        return self._period_us / 1e6

    @property
    def period_assumed(self):
        """True only when the instrument offers no period to select: period is
        then a stand-in (1 s) that nothing confirms."""
        return self._period_assumed

    @property
    def lost(self):
        """What can be known about lost samples (a Loss)."""
        c = self._stream.counts
        return Loss(c["samples"], c["malformed"], c["no_prefix"], c["wrong_count"],
                    c["bad_value"], c["ring_overflows"], c["missing"], c["gaps"], c["unsized"])

    @property
    def closed(self):
        return self._handle.closed

    # --- reading --------------------------------------------------------------
    def read(self, n=None, seconds=None, timeout=None):
        """Samples in physical units: a float64 array (samples, channels).

        n: this many samples; seconds: this long at the instrument's period
        (round(seconds / period) samples); neither: the samples that have
        arrived, waiting for at least one. timeout: the longest silence
        tolerated before NotResponding is raised (default: 3 s or five
        periods, whichever is longer; for an instrument vozi.simulate(play=...)
        plays, plus the recording's longest silence)."""
        return self._read(n, seconds, timeout, raw=False)

    def read_raw(self, n=None, seconds=None, timeout=None):
        """As read(), but the library's scaled integers (int32; 0..32767 for a
        channel with a range)."""
        return self._read(n, seconds, timeout, raw=True)

    def stream(self, chunk=None, timeout=None, raw=False):
        """An iterator of arrays as the samples arrive: `chunk` samples each,
        or whatever has arrived (at least one sample) when chunk is None."""
        if chunk is not None and chunk < 1:
            # Empty chunks would come at once, for ever.
            raise ValueError("a chunk of at least one sample, not %r" % (chunk,))
        _check_timeout(timeout)

        def chunks():
            while True:
                yield self._read(chunk, None, timeout, raw)
        return chunks()

    def _read(self, n, seconds, timeout, raw):
        if self._handle.closed:
            raise Error("instrument %d is closed" % self.index)
        if n is not None and seconds is not None:
            raise TypeError("give n or seconds, not both")
        if seconds is not None:
            if not math.isfinite(seconds) or seconds < 0:
                raise ValueError("seconds must be a finite time of at least 0, not %r" % (seconds,))
            n = int(round(seconds / self.period))
        if n is not None and n < 0:
            raise ValueError("a negative number of samples")
        _check_timeout(timeout)
        if timeout is None:
            # A played recording's gaps are silences of its instrument.
            timeout = max(_STALL_SECONDS, 5 * self.period) + self._played_silence
        status = self._stream.fill(1 if n is None else n, float(timeout))
        data = self._stream.take(n, raw)
        self._warn_loss()
        if status == "ok":
            return data
        if status == "closed":
            raise Error("instrument %d was closed during the read" % self.index)
        if status == "failed":
            what = "instrument %d failed while streaming" % self.index
        else:
            what = "instrument %d: no data for %g s" % (self.index, timeout)
        what += " (%d of %s samples arrived)" % (len(data), "?" if n is None else n)
        error = _library_failure(S.session, self.index, what, NotResponding)
        if not isinstance(error, NotResponding):
            error = NotResponding(str(error), error.library_message)
        error.data = data
        raise error

    def _warn_loss(self):
        c = self._stream.counts
        now = (c["malformed"], c["ring_overflows"], c["missing"], c["unsized"])
        if now != self._seen_loss:
            self._seen_loss = now
            warnings.warn(DataLost("instrument %d: samples lost so far: %d malformed lines, "
                                   "%d receive-ring overflows, %d samples missing"
                                   % (self.index, c["malformed"], c["ring_overflows"], c["missing"])),
                          stacklevel=4)
        if c["faster_than_period"] and not self._warned_fast:
            self._warned_fast = True
            warnings.warn(DataLost("instrument %d sends faster than its period of %g s: the "
                                   "samples lost when the receive ring is full cannot be counted"
                                   % (self.index, self.period)), stacklevel=4)

    # --- closing --------------------------------------------------------------
    def close(self):
        """Stops the stream. The library releases the ports when the last open
        instrument is closed (it can only close all of them at once)."""
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self.closed else "streaming"
        return ("<vozi.Instrument %d %s %s, unique id %s, %d channels at %g s, %s>"
                % (self.index, self._model, self._description, self.unique_id,
                   len(self._channels), self.period, state))


def _check_timeout(timeout):
    # A NaN compares false with everything: a read would never time out.
    # Infinity is a wish to wait for ever, and is honoured.
    if timeout is not None and (math.isnan(timeout) or timeout < 0):
        raise ValueError("timeout must be a time of at least 0 s, not %r" % (timeout,))


def _choose_channels(every, wanted):
    if wanted is None:
        return list(every)
    if isinstance(wanted, (int, str)):
        wanted = [wanted]
    chosen = set()
    for w in wanted:
        match = [c for c in every
                 if (c.index == w if isinstance(w, int) and not isinstance(w, bool) else c.name == w)]
        if not match:
            raise ValueError("no channel %r (channels: %s)"
                             % (w, ", ".join("%d %s" % (c.index, c.name) for c in every) or "none"))
        chosen.add(match[0].index)
    # The library sends the enabled channels in channel order, each once.
    return [c for c in every if c.index in chosen]


def _choose_period(offered_us, period):
    if period is None:
        # Where an instrument starts: the first period it offers.
        for p in offered_us:
            if p > 0:
                return p, False
        return 1000000, True  # none offered: a row per second is as good as any
    if not math.isfinite(period):
        raise ValueError("a period must be a finite number of seconds (got %r)" % (period,))
    us = int(round(period * 1e6))
    if us not in offered_us:
        raise ValueError("a period of %g s is not offered (offered: %s)"
                         % (period, ", ".join("%g" % (p / 1e6) for p in offered_us) or "none"))
    return us, False
