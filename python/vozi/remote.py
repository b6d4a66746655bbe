"""Instruments published by `vozi-host publish` on another machine (or this
one), read from an MQTT broker: the same channels, period, read(), stream()
and lost as a local Instrument, so that the same analysis code reads either.

    import vozi
    with vozi.subscribe("mqtt://lab-pc:1883") as dev:
        data = dev.read(seconds=1)          # float64 (samples, channels)

Topics and payloads: docs/streaming.md. The client is paho-mqtt. Every
message is hostile until _payloads has checked it; one that fails is skipped
and counted, and nothing raised while handling a message reaches paho's
network thread (it would end it)."""

import collections
import datetime
import math
import os
import threading
import time
import warnings

import numpy as np

from . import _payloads as P
from .errors import (DataLost, Error, InstrumentLost, NotFound, NotResponding, StreamChanged,
                     StreamEnded)
from .instrument import Channel

PASSWORD_VARIABLE = "VOZI_MQTT_PASSWORD"
_STALL_SECONDS = 3.0
# What a subscription keeps for a reader that does not keep up: unread
# samples up to this many values (float32: 32 MiB), events up to this many
# and these bytes. Beyond, what arrives is dropped and counted.
MAX_UNREAD_VALUES = 8 * 1024 * 1024
MAX_EVENTS = 1000
MAX_EVENT_BYTES_KEPT = 1024 * 1024
# Batches of a stream whose info has not arrived yet (samples and info travel
# on separate topics, so a new stream's first batches may come first).
_PENDING_BATCHES = 100
_PENDING_BYTES = 4 * 1024 * 1024
# After the retained messages, how long a subscription without an id waits
# at most for the broker's marker that they have all come.
_RETAINED_SECONDS = 2.0
# A stop or lost event may overtake the stream's last batches (another
# topic, another QoS): they are awaited this long before the end is final.
_END_GRACE_SECONDS = 1.0
# A batch is implausible when it lies further ahead than the time since the
# previous one allows, twice over, plus this margin; or further than the
# time since the stream started allows (with this margin for the clocks of
# two machines).
_JUMP_MARGIN_SECONDS = 10.0
_CLOCK_MARGIN_SECONDS = 3600.0
# Instruments remembered while choosing one (a broker may hold any number
# of retained topics under the prefix).
_MAX_INSTRUMENTS = 1000


class RemoteLoss(collections.namedtuple("RemoteLoss", "samples missing gaps malformed overflowed")):
    """What is known about samples that did not arrive.

    samples: samples received so far; missing: samples the positions jump
    over (lost at the instrument, never published while the publisher had no
    broker, or lost at the end of a stream); gaps: how many such jumps;
    malformed: messages on the instrument's topics that were skipped
    (unreadable, the wrong size, an unknown format, another channel count,
    an implausible position, a batch of no current stream); overflowed:
    samples dropped because they were not read in time (more than
    MAX_UNREAD_VALUES values waiting)."""

    @property
    def dropped(self):
        """Samples known lost (as Loss.dropped, for code that reads either)."""
        return self.missing + self.overflowed


def parse_url(url):
    """(tls, host, port) of "mqtt://host[:port]" or "mqtts://host[:port]"."""
    for scheme, tls, port in (("mqtt://", False, 1883), ("mqtts://", True, 8883)):
        if isinstance(url, str) and url.startswith(scheme):
            rest = url[len(scheme):].rstrip("/")
            break
    else:
        raise ValueError("a broker URL is mqtt://host[:port] or mqtts://host[:port], not %r" % (url,))
    if "@" in rest:
        raise ValueError("no user name or password in the URL: give username= and password= "
                         "(or set %s)" % PASSWORD_VARIABLE)
    if rest.startswith("["):
        host, _, tail = rest[1:].partition("]")
        tail = tail[1:] if tail.startswith(":") else tail
    else:
        host, _, tail = rest.partition(":")
    if not host or "/" in rest:
        raise ValueError("a broker URL is mqtt://host[:port] or mqtts://host[:port], not %r" % url)
    if tail:
        if not tail.isdigit() or not 1 <= int(tail) <= 65535:
            raise ValueError("the port of %r must be a number from 1 to 65535" % url)
        port = int(tail)
    return tls, host, port


def _client(mqtt, tls, username, password, ca_file, **options):
    """A paho client with the credentials (the password from the environment
    when none is given) and, for mqtts://, TLS set."""
    client = mqtt.Client(client_id="", **options)
    if password is None:
        password = os.environ.get(PASSWORD_VARIABLE)
    if username is not None or password is not None:
        client.username_pw_set(username, password)
    if tls:
        client.tls_set(ca_certs=ca_file)
    return client


def _check_prefix(prefix):
    # A wildcard or an empty level would make every topic built from it a
    # filter (or an invalid name) that matches what it should not.
    if (not isinstance(prefix, str) or not prefix or len(prefix) > 1000
            or any(c in prefix for c in "+#\0") or "" in prefix.split("/")):
        raise ValueError("a topic prefix is one or more non-empty levels without + or #, not %r"
                         % (prefix,))


def _check_id(unique_id):
    if unique_id is None:
        return None
    text = str(unique_id)
    if not text or len(text) > 1000 or any(c in text for c in "/+#\0"):
        raise ValueError("a unique id is one topic level without + or #, not %r" % (unique_id,))
    return text


def _check_timeout(timeout, what="timeout"):
    if timeout is not None and (not isinstance(timeout, (int, float)) or math.isnan(timeout)
                                or timeout < 0):
        raise ValueError("%s must be a time of at least 0 s, not %r" % (what, timeout))


def subscribe(url="mqtt://127.0.0.1:1883", unique_id=None, prefix="vozi", *, timeout=10.0,
              username=None, password=None, ca_file=None):
    """Subscribes to one published instrument; returns a Subscription once
    its info (and its retained status) have arrived.

    unique_id: the instrument (as `vozi-host list` shows it); None: one whose
    status is online (a warning names the others when there are several).
    prefix: vozi-host publish's --prefix. timeout: how long to wait for the
    broker and the info. password: default from the environment variable
    VOZI_MQTT_PASSWORD. ca_file: for mqtts://, the CA that signed the
    broker's certificate (default: the system's)."""
    return Subscription(url, unique_id, prefix, timeout, username, password, ca_file)


class _Boundary:
    """Where one stream ends in the queue of unread samples: `kind` "new"
    (another stream follows, described by info and channels), "stop" or
    "lost"."""

    def __init__(self, kind, reason, info=None, channels=None):
        self.kind, self.reason, self.info, self.channels = kind, reason, info, channels


def _channels(info):
    return [Channel(i, n, u, lo, hi) for i, n, u, lo, hi in info["channels"]]


def _stream_key(info):
    return (info["format"], info["started_us"] if info["format"] >= 2 else info["started"])


def _started_seconds(info):
    """The stream's start on the wall clock, or None when the info gives none."""
    if info["started_us"] is not None:
        return info["started_us"] / 1e6
    try:
        return datetime.datetime.fromisoformat(info["started"].replace("Z", "+00:00")).timestamp()
    except (AttributeError, ValueError, OverflowError):
        return None


class Subscription:
    """A published instrument read from a broker. Use it as a context manager
    or call close()."""

    def __init__(self, url, unique_id, prefix, timeout, username, password, ca_file):
        import paho.mqtt.client as mqtt

        tls, host, port = parse_url(url)
        _check_prefix(prefix)
        wanted = _check_id(unique_id)
        _check_timeout(timeout)
        if not math.isfinite(timeout):
            raise ValueError("a subscription waits a finite time for its instrument, not %r" % timeout)
        self._mqtt = mqtt
        self._url = url
        self._prefix = prefix
        self._wanted = wanted
        self._cond = threading.Condition()
        self._closed = False
        # Before an instrument is chosen: what the broker has said.
        self._seen = {}                     # id -> info (checked) or a reason it was skipped
        self._statuses = {}                 # id -> "online" / "offline"
        self._retained_in = False           # the broker's marker after the retained messages
        self._barrier = None
        self._streams_mid = None
        self._streams_acked = False
        self._connected = False
        self._connected_at = None
        self._refused = None                # the broker's CONNACK reason
        self._disconnects = 0
        # The chosen instrument. _info/_channels are what the reader sees;
        # _in_* describe the stream whose batches are arriving (a new one is
        # the reader's only once its read reaches the boundary).
        self._id = None
        self._info = self._in_info = None
        self._channels = self._in_channels = None
        self._key = None
        self._old_keys = set()
        self._absorb = set()                # signals of a new format-1 stream still to come
        self._status = None
        self._events = collections.deque()
        self._event_bytes = 0
        self._events_dropped = self._seen_events_dropped = 0
        self._queue = collections.deque()   # float32 arrays and _Boundary marks
        self._head_rows = 0                 # rows before the first mark
        self._marks = 0
        self._values = 0                    # values waiting, all streams
        self._pending = collections.deque()  # (stream_us, batch) of a stream not yet announced
        self._pending_bytes = 0
        self._expected = None               # the position the next batch should start at
        self._last_batch_at = None
        self._ending = None                 # (kind, reason, position, since) of a stream ending
        self._in_ended = False              # the arriving stream has ended
        self._ended = None                  # the reader's stream has ended: the exception
        self._samples = self._missing = self._gaps = self._malformed = self._overflowed = 0
        self._seen_loss = (0, 0)
        self._last_problem = None

        client = _client(mqtt, tls, username, password, ca_file, clean_session=True)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_message = self._on_message
        client.on_unsubscribe = self._on_unsubscribe
        client.on_subscribe = self._on_subscribe
        client.reconnect_delay_set(1, 16)
        self._client = client
        try:
            client.connect(host, port, keepalive=30)
        except (OSError, ValueError) as e:
            raise Error("cannot reach the broker %s: %s" % (url, getattr(e, "strerror", None) or e)) from None
        client.loop_start()
        try:
            self._choose(timeout)
        except BaseException:
            self.close()
            raise

    # --- choosing the instrument ----------------------------------------------
    def _choose(self, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                if self._refused:
                    raise Error("the broker %s refused the connection: %s" % (self._url, self._refused))
                chosen = self._candidate()
                if chosen:
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    raise self._not_found(timeout)
                self._cond.wait(min(left, 0.1))
            ident, others = chosen
            self._adopt(ident)
            # Returned only once the broker will send the samples: a batch
            # published after subscribe() returns is never missed.
            if not self._cond.wait_for(lambda: self._streams_acked or self._closed,
                                       max(0.0, deadline - time.monotonic())):
                raise Error("the broker %s did not confirm the subscription within %g s"
                            % (self._url, timeout))
        if others:
            warnings.warn("several instruments are online under %s/: took %s, not %s"
                          % (self._prefix, ident, ", ".join(others)), stacklevel=3)

    def _candidate(self):
        settled = self._retained_in or (
            self._connected and time.monotonic() - self._connected_at > _RETAINED_SECONDS)
        if self._wanted is not None:
            # The status is retained beside the info: both come before the
            # marker, so it is known from the start.
            ok = isinstance(self._seen.get(self._wanted), dict)
            return (self._wanted, []) if ok and settled else None
        if not settled:
            return None
        online = [i for i, info in self._seen.items()
                  if isinstance(info, dict) and self._statuses.get(i) == "online"]
        return (online[0], online[1:]) if online else None

    def _not_found(self, timeout):
        if not self._connected:
            why = ("the broker never answered%s (a TLS port named with mqtt://, or no MQTT broker "
                   "there?)" % (": it closed the connection %d times" % self._disconnects
                                if self._disconnects else ""))
            return Error("no connection to the broker %s within %g s: %s" % (self._url, timeout, why))
        seen = ", ".join("%s (%s)" % (i, self._statuses.get(i, "no status")
                                      if isinstance(info, dict) else "skipped: %s" % info)
                         for i, info in sorted(self._seen.items()))
        if self._wanted is not None:
            return NotFound("no info of instrument %s arrived on %s under %s/%s/info within %g s%s"
                            % (self._wanted, self._url, self._prefix, self._wanted, timeout,
                               " (seen: %s)" % seen if seen else ""))
        return NotFound("no instrument online on %s under %s/ within %g s (%s)"
                        % (self._url, self._prefix, timeout,
                           "seen: " + seen if seen else "none seen"))

    def _adopt(self, ident):
        info = self._seen[ident]
        self._id = ident
        self._info = self._in_info = info
        self._channels = self._in_channels = _channels(info)
        self._key = _stream_key(info)
        self._status = self._statuses.get(ident)
        if self._wanted is None:
            self._subscribe_streams(self._client, ident)

    # --- the broker's side (paho's network thread) -----------------------------
    def _on_connect(self, client, userdata, flags, rc):
        with self._cond:
            if rc != 0:
                self._refused = self._mqtt.connack_string(rc)
                self._cond.notify_all()
                return
            self._connected = True
            self._connected_at = time.monotonic()
            self._refused = None
            who = self._wanted or "+"
            client.subscribe([("%s/%s/info" % (self._prefix, who), 1),
                              ("%s/%s/status" % (self._prefix, who), 1)])
            if self._id is not None or self._wanted is not None:
                self._subscribe_streams(client, self._wanted or self._id)
            # The broker answers packets in order, and sends a subscription's
            # retained messages before it reads the next packet: the answer
            # to this one marks the end of them.
            self._barrier = client.unsubscribe("%s/+/none" % self._prefix)[1]

    def _on_unsubscribe(self, client, userdata, mid):
        with self._cond:
            if mid == self._barrier:
                self._retained_in = True
                self._cond.notify_all()

    def _on_disconnect(self, client, userdata, rc):
        with self._cond:
            if not self._connected:
                self._disconnects += 1
            self._cond.notify_all()

    def _subscribe_streams(self, client, ident):
        self._streams_mid = client.subscribe([("%s/%s/samples" % (self._prefix, ident), 0),
                                              ("%s/%s/events" % (self._prefix, ident), 1)])[1]

    def _on_subscribe(self, client, userdata, mid, granted_qos):
        with self._cond:
            if mid == self._streams_mid:
                self._streams_acked = True
                self._cond.notify_all()

    def _on_message(self, client, userdata, message):
        # Nothing may escape to paho: an exception here ends its network
        # thread, and with it the subscription.
        try:
            with self._cond:
                self._dispatch(message.topic, message.payload)
                self._cond.notify_all()
        except Exception as e:  # noqa: BLE001 -- a hostile message must not stop the client
            with self._cond:
                self._malformed += 1
                self._last_problem = "%s: %s" % (message.topic, type(e).__name__)

    def _dispatch(self, topic, payload):
        if not topic.startswith(self._prefix + "/"):
            return
        parts = topic[len(self._prefix) + 1:].split("/")
        if len(parts) != 2 or not parts[0]:
            return
        ident, kind = parts
        ours = self._id is not None and ident == self._id
        try:
            if kind == "info":
                self._take_info(ident, payload)
            elif kind == "status":
                status = P.decode_status(payload)
                if status is None:
                    self._statuses.pop(ident, None)
                elif ident in self._statuses or len(self._statuses) < _MAX_INSTRUMENTS:
                    self._statuses[ident] = status
                if ours:
                    self._status = status
            elif not ours:
                return
            elif kind == "samples":
                self._take_batch(payload)
            elif kind == "events":
                self._take_event(payload)
        except P.Malformed as e:
            if ours or self._id is None and kind == "info":
                self._last_problem = "%s: %s" % (topic, e)
            if ours:
                self._malformed += 1

    def _take_info(self, ident, payload):
        if self._id is not None and ident != self._id:
            return
        if not payload:
            # Cleared from the broker: that instrument is gone for good.
            if self._id is None:
                self._seen.pop(ident, None)
            return
        try:
            info = P.decode_info(payload)
        except (P.Malformed, P.Unknown) as e:
            if self._id is None and (ident in self._seen or len(self._seen) < _MAX_INSTRUMENTS):
                self._seen[ident] = "%s" % e
            raise P.Malformed(str(e)) from None
        if self._id is None:
            if ident in self._seen or len(self._seen) < _MAX_INSTRUMENTS:
                self._seen[ident] = info
            return
        key, channels = _stream_key(info), _channels(info)
        if key == self._key and channels == self._in_channels:
            self._in_info = info  # the same stream, published again
            if self._info is not None and _stream_key(self._info) == key:
                self._info = info
            return
        if info["format"] == 1 and "info" in self._absorb and channels == self._in_channels:
            # The stream that positions or a start event already announced.
            self._absorb.discard("info")
            self._key, self._in_info = key, info
            return
        self._new_stream(info, "a new stream began (started %s)" % info["started"],
                         absorb={"start"} if info["format"] == 1 else set())

    def _new_stream(self, info, reason, absorb):
        self._end_arriving(None)
        self._old_keys.add(self._key)
        self._push(_Boundary("new", reason, info, _channels(info)))
        self._in_info, self._in_channels, self._key = info, _channels(info), _stream_key(info)
        self._expected = self._last_batch_at = None
        self._in_ended = False
        self._absorb = absorb
        if info["format"] >= 2:
            waiting = [b for s, b in self._pending if s == info["started_us"]]
            self._malformed += len(self._pending) - len(waiting)
            self._pending.clear()
            self._pending_bytes = 0
            for payload in waiting:
                try:
                    self._take_batch(payload)
                except P.Malformed:
                    self._malformed += 1

    def _take_batch(self, payload):
        fmt, first, count, stream_us, values = P.decode_batch(payload)
        info = self._in_info
        if fmt >= 2 and stream_us != info["started_us"]:
            if stream_us in {k[1] for k in self._old_keys if k and k[0] >= 2}:
                raise P.Malformed("samples batch of an earlier stream")
            self._pending.append((stream_us, payload))  # its info has not come yet
            self._pending_bytes += len(payload)
            while len(self._pending) > _PENDING_BATCHES or self._pending_bytes > _PENDING_BYTES:
                self._pending_bytes -= len(self._pending.popleft()[1])
                self._malformed += 1
            return
        if fmt != info["format"]:
            raise P.Malformed("samples batch of format %d, info of %d" % (fmt, info["format"]))
        if values.shape[1] != len(self._in_channels):
            raise P.Malformed("samples batch of %d channels, not %d"
                              % (values.shape[1], len(self._in_channels)))
        now = time.monotonic()
        self._check_plausible(info, first, now)
        if self._expected is not None and first < self._expected:
            if fmt >= 2 and first + count <= self._expected:
                return  # sent again after a reconnection: already here
            if fmt >= 2:
                raise P.Malformed("samples batch overlaps what arrived")
            # Format 1 ties batches to their stream only by arrival order:
            # positions beginning again are a new stream.
            self._new_stream(info, "positions began again at %d" % first, absorb={"start", "info"})
        if self._in_ended:
            raise P.Malformed("samples batch after its stream ended")
        if self._expected is not None and first > self._expected:
            self._gaps += 1
            self._missing += first - self._expected
        self._expected = first + count
        self._last_batch_at = now
        if count:
            self._samples += count
            if self._values + values.size > MAX_UNREAD_VALUES:
                self._overflowed += count
            else:
                self._push(values)
        if self._ending and self._expected >= self._ending[2]:
            self._end_arriving(self._ending)

    def _check_plausible(self, info, first, now):
        period = (info["period_us"] or 1) / 1e6
        if self._expected is not None and first > self._expected:
            elapsed = now - self._last_batch_at
            if first - self._expected > (2 * elapsed + _JUMP_MARGIN_SECONDS) / period:
                raise P.Malformed("samples batch %d samples ahead" % (first - self._expected))
        started = _started_seconds(info)
        if started is not None:
            since = time.time() - started
            if first > (2 * max(since, 0.0) + _CLOCK_MARGIN_SECONDS) / period:
                raise P.Malformed("samples batch at position %d, beyond the stream's age" % first)

    def _take_event(self, payload):
        event = P.decode_event(payload)
        self._keep_event(event, len(payload))
        info = self._in_info
        if info["format"] >= 2 and event.get("stream") != info["started_us"]:
            return  # another stream's (an earlier one's, or one not yet announced)
        name = event["event"]
        if name == "start" and info["format"] == 1:
            if "start" in self._absorb or self._expected is None:
                self._absorb.discard("start")
                return
            self._new_stream(info, "a start event", absorb={"info"})
        elif name in ("stop", "lost") and not self._in_ended:
            reason = event.get("reason") or ("stopped" if name == "stop" else "no reason given")
            position = event.get("position")
            ending = (name, reason, position, time.monotonic())
            if position is None or self._expected is None or self._expected >= position:
                self._end_arriving(ending)
            else:
                self._ending = ending  # its last batches may still be on the way

    def _keep_event(self, event, size):
        self._events.append((event, size))
        self._event_bytes += size
        while len(self._events) > MAX_EVENTS or self._event_bytes > MAX_EVENT_BYTES_KEPT:
            self._event_bytes -= self._events.popleft()[1]
            self._events_dropped += 1

    def _end_arriving(self, ending):
        """The arriving stream ends here (ending: a stop or lost event), or a
        pending end is settled before a new stream (ending None)."""
        if ending is None:
            ending = self._ending
            if ending is None:
                return
        kind, reason, position, _ = ending
        self._ending = None
        if position is not None and self._expected is not None and position > self._expected:
            # Lost at the very end: between the last batch and the end.
            self._gaps += 1
            self._missing += position - self._expected
            self._expected = position
        self._in_ended = True
        self._push(_Boundary(kind, reason))

    def _push(self, item):
        self._queue.append(item)
        if isinstance(item, _Boundary):
            self._marks += 1
        else:
            self._values += item.size
            if not self._marks:
                self._head_rows += len(item)

    # --- what the reader sees --------------------------------------------------
    @property
    def unique_id(self):
        """The instrument's name in its topics: its unique id, or "serial-..."."""
        return self._id

    @property
    def info(self):
        """The info of the stream being read (a dict of the checked fields)."""
        with self._cond:
            info = dict(self._info)
            info["channels"] = [dict(zip(("index", "name", "units", "min", "max"), c))
                                for c in info["channels"]]
            return info

    @property
    def model(self):
        return self._info.get("model")

    @property
    def description(self):
        return self._info.get("description")

    @property
    def firmware(self):
        """The firmware number, as Instrument.firmware."""
        return self._info.get("firmware")

    @property
    def version(self):
        """The version text, as Instrument.version ("1.1.0.1")."""
        return self._info.get("version")

    @property
    def channels(self):
        """The channels of the stream being read, one per column of the arrays."""
        with self._cond:
            return list(self._channels)

    @property
    def period(self):
        """The sample period in seconds (None when the publisher knows none)."""
        us = self._info.get("period_us")
        return None if us is None else us / 1e6

    @property
    def period_assumed(self):
        return self._info.get("period_source") != "selected"

    @property
    def status(self):
        """"online", "offline", or None when the broker holds none."""
        return self._status

    @property
    def events(self):
        """The events received (dicts): the latest MAX_EVENTS, at most
        MAX_EVENT_BYTES_KEPT bytes of them."""
        with self._cond:
            return [e for e, _ in self._events]

    @property
    def events_dropped(self):
        """Events dropped, the oldest first, to keep within those bounds."""
        return self._events_dropped

    @property
    def lost(self):
        with self._cond:
            return RemoteLoss(self._samples, self._missing, self._gaps, self._malformed,
                              self._overflowed)

    @property
    def closed(self):
        return self._closed

    def read(self, n=None, seconds=None, timeout=None):
        """Samples in physical units: a float64 array (samples, channels).

        n: this many samples; seconds: this long at the period; neither: what
        has arrived, waiting for at least one. timeout: the longest silence
        tolerated before NotResponding is raised (default: 3 s or five
        periods, whichever is longer); the error's .data holds what arrived.

        A read never spans two streams: the read that reaches the end of one
        raises StreamEnded (InstrumentLost when the instrument was lost) or
        StreamChanged, with the rows it took in .data; read() without n
        returns those rows first instead."""
        if n is not None and seconds is not None:
            raise TypeError("give n or seconds, not both")
        if seconds is not None:
            if not isinstance(seconds, (int, float)) or not math.isfinite(seconds) or seconds <= 0:
                raise ValueError("seconds must be a finite time above 0, not %r" % (seconds,))
            if not self.period:
                raise Error("the publisher knows no period: read n samples")
            n = int(round(seconds / self.period))
            if n < 1:
                raise ValueError("%g s is less than one sample period (%g s)" % (seconds, self.period))
        if n is not None and (isinstance(n, bool) or not isinstance(n, int) or n < 1):
            raise ValueError("a number of samples of at least 1, not %r" % (n,))
        _check_timeout(timeout)
        if timeout is None:
            timeout = max(_STALL_SECONDS, 5 * (self.period or 0))
        want = 1 if n is None else n
        with self._cond:
            if self._ended is not None and not self._queue:
                cls, message, reason = self._ended
                raise cls(message, np.empty((0, len(self._channels))), reason)
            self._wait(want, timeout)
            data, boundary = self._take(n)
            status = self._status
        self._warn_loss()
        if boundary is not None:
            raise self._cross(boundary, data)
        if self._closed and len(data) < want:
            raise Error("subscription to %s was closed during the read" % self._id)
        if len(data) < want:
            error = NotResponding("instrument %s on %s: no samples for %g s (%d of %s arrived; status %s)"
                                  % (self._id, self._url, timeout, len(data), "?" if n is None else n,
                                     status))
            error.data = data
            raise error
        return data

    def stream(self, chunk=None, timeout=None):
        """Yields arrays as the samples arrive: `chunk` samples each, or
        whatever has arrived (at least one sample) when chunk is None. Ends
        when the stream is stopped (after the rows it still had); raises
        InstrumentLost or StreamChanged as read() does."""
        if chunk is not None and (isinstance(chunk, bool) or not isinstance(chunk, int) or chunk < 1):
            raise ValueError("a chunk of at least one sample, not %r" % (chunk,))
        _check_timeout(timeout)

        def chunks():
            while True:
                try:
                    yield self.read(chunk, None, timeout)
                except InstrumentLost:
                    raise
                except StreamEnded as end:
                    if end.data is not None and len(end.data):
                        yield end.data
                    return
        return chunks()

    def _wait(self, want, timeout):
        silent_since = time.monotonic()
        rows = self._head_rows
        while self._head_rows < want and not self._marks and not self._closed:
            now = time.monotonic()
            if self._head_rows != rows:
                rows, silent_since = self._head_rows, now
            if self._ending and now - self._ending[3] >= _END_GRACE_SECONDS:
                self._end_arriving(None)  # its last batches are not coming
                continue
            left = timeout - (now - silent_since)
            if left <= 0:
                return
            if self._ending:
                left = min(left, _END_GRACE_SECONDS)
            self._cond.wait(None if math.isinf(left) else left)

    def _take(self, n):
        """(rows before the next mark, up to n; that mark when the read
        reached it: n is None with no rows, or fewer rows than n)."""
        width = len(self._channels)
        parts, got = [], 0
        while self._queue and (n is None or got < n):
            head = self._queue[0]
            if isinstance(head, _Boundary):
                break
            if n is None or len(head) <= n - got:
                parts.append(self._queue.popleft())
                self._values -= head.size
            else:
                parts.append(head[:n - got])
                self._queue[0] = head[n - got:]
                self._values -= parts[-1].size
            got += len(parts[-1])
        self._head_rows -= got
        data = np.concatenate(parts).astype(np.float64) if parts else np.empty((0, width))
        boundary = None
        if self._queue and isinstance(self._queue[0], _Boundary) and (n is None and not got
                                                                      or n is not None and got < n):
            boundary = self._queue.popleft()
            self._marks -= 1
            for item in self._queue:
                if isinstance(item, _Boundary):
                    break
                self._head_rows += len(item)
            if boundary.kind == "new":
                self._info, self._channels = boundary.info, boundary.channels
                self._ended = None
        return data, boundary

    def _cross(self, boundary, data):
        if boundary.kind == "new":
            return StreamChanged("instrument %s on %s: %s; its channels are now %s at %s s"
                                 % (self._id, self._url, boundary.reason,
                                    ", ".join(c.name for c in boundary.channels), self.period),
                                 data, self.info)
        if boundary.kind == "lost":
            end = InstrumentLost("instrument %s on %s was lost: %s" % (self._id, self._url,
                                                                       boundary.reason),
                                 data, boundary.reason)
        else:
            end = StreamEnded("instrument %s on %s: the stream was stopped (%s)"
                              % (self._id, self._url, boundary.reason), data, boundary.reason)
        with self._cond:
            self._ended = (type(end), str(end), boundary.reason)
        return end

    def _warn_loss(self):
        now = (self._missing, self._overflowed)
        if now != self._seen_loss:
            self._seen_loss = now
            warnings.warn(DataLost("instrument %s: %d samples missing so far (positions jumped %d "
                                   "times), %d dropped unread (more than %d values waiting)"
                                   % (self._id, self._missing, self._gaps, self._overflowed,
                                      MAX_UNREAD_VALUES)), stacklevel=4)
        if self._events_dropped != self._seen_events_dropped:
            self._seen_events_dropped = self._events_dropped
            warnings.warn("instrument %s: %d events dropped so far, the oldest first (at most %d "
                          "events and %d bytes are kept)" % (self._id, self._events_dropped,
                                                              MAX_EVENTS, MAX_EVENT_BYTES_KEPT),
                          stacklevel=4)

    def close(self):
        """Leaves the broker."""
        if self._closed:
            return
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        self._client.disconnect()
        self._client.loop_stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return ("<vozi.Subscription %s on %s, %d channels at %s s, %s>"
                % (self._id, self._url, len(self._channels or ()), self.period,
                   "closed" if self._closed else self._status or "status unknown"))
