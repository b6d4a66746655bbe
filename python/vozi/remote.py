"""Instruments published by `vozi-host publish` on another machine (or this
one), read from an MQTT broker: the same channels, period, read(), stream()
and lost as a local Instrument, so that the same analysis code reads either.

    import vozi
    with vozi.subscribe("mqtt://lab-pc:1883") as dev:
        data = dev.read(seconds=1)          # float64 (samples, channels)

Topics and payloads: docs/streaming.md. The client is paho-mqtt."""

import collections
import json
import os
import struct
import threading
import time
import warnings

import numpy as np

from .errors import DataLost, Error, NotFound, NotResponding
from .instrument import Channel

PASSWORD_VARIABLE = "VOZI_MQTT_PASSWORD"
FORMAT = 1
_HEADER = struct.Struct("<HHIQq")  # format, channels, count, first position, host time (us)
_STALL_SECONDS = 3.0
_EVENTS_KEPT = 1000


class RemoteLoss(collections.namedtuple("RemoteLoss", "samples missing gaps malformed")):
    """What is known about samples that did not arrive.

    samples: samples received so far; missing: samples the positions jump
    over (lost at the instrument, or never published while the publisher had
    no broker); gaps: how many such jumps; malformed: messages on the
    instrument's topics that were skipped (wrong size, unknown format,
    another channel count, unreadable JSON)."""

    @property
    def dropped(self):
        """Samples known lost (as Loss.dropped, for code that reads either)."""
        return self.missing


def parse_url(url):
    """(tls, host, port) of "mqtt://host[:port]" or "mqtts://host[:port]"."""
    for scheme, tls, port in (("mqtt://", False, 1883), ("mqtts://", True, 8883)):
        if url.startswith(scheme):
            rest = url[len(scheme):].rstrip("/")
            break
    else:
        raise ValueError("a broker URL is mqtt://host[:port] or mqtts://host[:port], not %r" % url)
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


def subscribe(url="mqtt://127.0.0.1:1883", unique_id=None, prefix="vozi", *, timeout=10.0,
              username=None, password=None, ca_file=None):
    """Subscribes to one published instrument; returns a Subscription once
    its info has arrived.

    unique_id: the instrument (as `vozi-host list` shows it); None: the first
    whose info arrives. prefix: vozi-host publish's --prefix. timeout: how
    long to wait for the broker and the info. password: default from the
    environment variable VOZI_MQTT_PASSWORD. ca_file: for mqtts://, the CA
    that signed the broker's certificate (default: the system's)."""
    return Subscription(url, unique_id, prefix, timeout, username, password, ca_file)


class Subscription:
    """A published instrument read from a broker. Use it as a context manager
    or call close()."""

    def __init__(self, url, unique_id, prefix, timeout, username, password, ca_file):
        import paho.mqtt.client as mqtt

        tls, host, port = parse_url(url)
        self._url = url
        self._prefix = prefix
        self._wanted = None if unique_id is None else str(unique_id)
        self._id = None
        self._info = None
        self._status = None
        self._events = collections.deque(maxlen=_EVENTS_KEPT)
        self._cond = threading.Condition()
        self._chunks = collections.deque()  # float32 arrays (samples, channels)
        self._buffered = 0
        self._expected = None               # position the next batch should start at
        self._samples = self._missing = self._gaps = self._malformed = 0
        self._seen_missing = 0
        self._skipped = None                # why the last info was not taken
        self._closed = False

        client = mqtt.Client(client_id="", clean_session=True)
        if password is None:
            password = os.environ.get(PASSWORD_VARIABLE)
        if username is not None or password is not None:
            client.username_pw_set(username, password)
        if tls:
            client.tls_set(ca_certs=ca_file)
        client.on_connect = self._on_connect
        client.on_message = self._on_message
        client.reconnect_delay_set(1, 16)
        self._client = client
        try:
            client.connect(host, port, keepalive=30)
        except (OSError, ValueError) as e:
            raise Error("cannot reach the broker %s: %s" % (url, e.strerror or e)) from None
        client.loop_start()
        with self._cond:
            if not self._cond.wait_for(lambda: self._info is not None, timeout):
                self.close()
                raise NotFound("no instrument's info arrived on %s under %s/%s/info within %g s%s"
                               % (url, prefix, self._wanted or "+", timeout,
                                  " (skipped %s)" % self._skipped if self._skipped else ""))

    # --- the broker's side (paho's network thread) -----------------------------
    def _topic(self, what):
        return "%s/%s/%s" % (self._prefix, self._id, what)

    def _on_connect(self, client, userdata, flags, rc):
        if rc != 0:
            return
        with self._cond:
            client.subscribe("%s/%s/info" % (self._prefix, self._wanted or "+"), qos=1)
            if self._id is not None:
                self._subscribe_streams(client)

    def _subscribe_streams(self, client):
        client.subscribe([(self._topic("samples"), 0), (self._topic("status"), 1),
                          (self._topic("events"), 1)])

    def _on_message(self, client, userdata, message):
        parts = message.topic.split("/")
        if len(parts) < 2:
            return
        ident, kind = parts[-2], parts[-1]
        with self._cond:
            if kind == "info":
                self._take_info(client, ident, message.payload)
            elif ident != self._id:
                return
            elif kind == "samples":
                self._take_samples(message.payload)
            elif kind == "status":
                self._status = message.payload.decode("utf-8", "replace")
            elif kind == "events":
                try:
                    self._events.append(json.loads(message.payload))
                except ValueError:
                    self._malformed += 1
            self._cond.notify_all()

    def _take_info(self, client, ident, payload):
        if self._id is not None and ident != self._id:
            return
        try:
            info = json.loads(payload)
            if info.get("format") != FORMAT:
                raise ValueError("format %r" % info.get("format"))
            channels = [Channel(c.get("index", k + 1), c["name"], c.get("units", ""),
                                c.get("min"), c.get("max"))
                        for k, c in enumerate(info["channels"])]
        except (ValueError, KeyError, TypeError, AttributeError) as e:
            # Another publisher's idea of info, or a newer format: not this one.
            self._skipped = "%s/%s/info: %s" % (self._prefix, ident, e)
            if self._id is not None:
                self._malformed += 1
            return
        if self._info is not None and info.get("started") != self._info.get("started"):
            self._expected = None  # a new stream: positions begin again
        first = self._id is None
        self._id = ident
        self._info = info
        self._channels = channels
        if first:
            self._subscribe_streams(client)

    def _take_samples(self, payload):
        n_channels = len(self._channels)
        if len(payload) < _HEADER.size:
            self._malformed += 1
            return
        fmt, channels, count, first, _host_us = _HEADER.unpack_from(payload)
        if (fmt != FORMAT or channels != n_channels
                or len(payload) != _HEADER.size + 4 * count * channels):
            self._malformed += 1
            return
        if self._expected is not None:
            if first < self._expected:
                self._malformed += 1  # overlaps what arrived: not a stream we follow
                return
            if first > self._expected:
                self._gaps += 1
                self._missing += first - self._expected
        self._expected = first + count
        if count:
            values = np.frombuffer(payload, dtype="<f4", count=count * channels, offset=_HEADER.size)
            self._chunks.append(values.reshape(count, channels))
            self._buffered += count
            self._samples += count

    # --- what the reader sees --------------------------------------------------
    @property
    def unique_id(self):
        """The instrument's name in its topics: its unique id, or "serial-..."."""
        return self._id

    @property
    def info(self):
        """The instrument's info as published (a dict)."""
        with self._cond:
            return dict(self._info)

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
        """The published channels, one per column of the arrays read."""
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
        """"online", "offline", or None before the broker has said."""
        return self._status

    @property
    def events(self):
        """The events received so far (dicts, the latest 1000)."""
        with self._cond:
            return list(self._events)

    @property
    def lost(self):
        with self._cond:
            return RemoteLoss(self._samples, self._missing, self._gaps, self._malformed)

    @property
    def closed(self):
        return self._closed

    def read(self, n=None, seconds=None, timeout=None):
        """Samples in physical units: a float64 array (samples, channels).

        n: this many samples; seconds: this long at the period; neither: what
        has arrived, waiting for at least one. timeout: the longest silence
        tolerated before NotResponding is raised (default: 3 s or five
        periods, whichever is longer); the error's .data holds what arrived."""
        if n is not None and seconds is not None:
            raise TypeError("give n or seconds, not both")
        if seconds is not None:
            if not self.period:
                raise Error("the publisher knows no period: read n samples")
            n = int(round(seconds / self.period))
        if n is not None and n < 0:
            raise ValueError("a negative number of samples")
        if timeout is None:
            timeout = max(_STALL_SECONDS, 5 * (self.period or 0))
        want = 1 if n is None else n
        with self._cond:
            while self._buffered < want and not self._closed:
                before = self._buffered
                self._cond.wait_for(lambda: self._buffered != before or self._closed, timeout)
                if self._buffered == before:
                    break
            data = self._take(n)
            status = self._status
        self._warn_loss()
        if self._closed and len(data) < want:
            raise Error("subscription to %s was closed during the read" % self._id)
        if n is not None and len(data) < n or len(data) == 0:
            error = NotResponding("instrument %s on %s: no samples for %g s (%d of %s arrived; status %s)"
                                  % (self._id, self._url, timeout, len(data), "?" if n is None else n,
                                     status))
            error.data = data
            raise error
        return data

    def stream(self, chunk=None, timeout=None):
        """Yields arrays as the samples arrive: `chunk` samples each, or
        whatever has arrived (at least one sample) when chunk is None."""
        while True:
            yield self.read(chunk, None, timeout)

    def _take(self, n):
        width = len(self._channels)
        if n is None or n >= self._buffered:
            n = self._buffered
        parts, left = [], n
        while left:
            head = self._chunks[0]
            if len(head) <= left:
                parts.append(self._chunks.popleft())
                left -= len(head)
            else:
                parts.append(head[:left])
                self._chunks[0] = head[left:]
                left = 0
        self._buffered -= n
        if not parts:
            return np.empty((0, width))
        return np.concatenate(parts).astype(np.float64)

    def _warn_loss(self):
        missing = self._missing
        if missing != self._seen_missing:
            self._seen_missing = missing
            warnings.warn(DataLost("instrument %s: %d samples missing so far (positions jumped %d times)"
                                   % (self._id, missing, self._gaps)), stacklevel=4)

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
                % (self._id, self._url, len(self._channels), self.period,
                   "closed" if self._closed else self._status or "status unknown"))
