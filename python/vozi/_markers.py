"""Experiment markers: vozi.mark() puts "stimulus 12 shown" into every
`vozi-host record` session of a broker, at this machine's clock's moment,
as `vozi-host mark` does; vozi.Marker keeps one connection for many. Topic
PREFIX/markers, QoS 1, not retained; the payload and its bounds:
docs/streaming.md, "Experiment markers".

Each marker names this process's clock, and the connection answers the
recorders' clock exchanges (docs/streaming.md, "Clocks"): a recorder
measures how far this machine's clock is from its own and places the
marker on its own clock."""

import json
import math
import os
import random
import re
import socket
import threading
import time

from .errors import Error
from .remote import _check_prefix, _check_timeout, _client, parse_url

MAX_TEXT_BYTES = 1024
MAX_SENDER_BYTES = 128
MAX_CLOCK_NAME_BYTES = 96
MAX_CLOCK_MESSAGE_BYTES = 1024
MAX_CLOCK_REPLY_TOPIC_BYTES = 512
MAX_TIME_US = 253402300800000000  # 10000-01-01 UTC
# After its acknowledgement, mark() stays for the recorders' clock exchanges
# (they come at once) until none came for CLOCK_QUIET s, CLOCK_LINGER s at most.
CLOCK_QUIET = 0.5
CLOCK_LINGER = 2.0
# Answers per second at most: a flood of requests costs little.
MAX_CLOCK_ANSWERS_PER_SECOND = 200


def _check_field(what, value, limit):
    if not isinstance(value, str) or not value:
        raise ValueError("%s must be a non-empty str, not %r" % (what, value))
    # C0, DEL and C1: a marker is one line in a CSV file, a JSON string and
    # an EDF+ annotation, where a line break or an escape would forge lines.
    for i, c in enumerate(value):
        if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F:
            raise ValueError("%s holds a control character (%r at %d): one line of text is allowed"
                             % (what, c, i))
    try:
        size = len(value.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError("%s is not text that UTF-8 can carry" % what) from None
    if size > limit:
        raise ValueError("%s is %d bytes of UTF-8; at most %d are allowed" % (what, size, limit))


def _default_sender():
    name = socket.gethostname().encode("utf-8", "ignore")[:MAX_SENDER_BYTES].decode("utf-8", "ignore")
    try:
        _check_field("sender", name, MAX_SENDER_BYTES)
    except ValueError:
        return "python"
    return name



def _clock_name():
    host = re.sub(r"[^A-Za-z0-9._-]", "_", socket.gethostname())[:48] or "host"
    chars = "abcdefghijklmnopqrstuvwxyz0123456789"
    rand = "".join(random.SystemRandom().choice(chars) for _ in range(6))
    return "%s-%d-%s" % (host, os.getpid(), rand)


def _now_us():
    return time.time_ns() // 1000


def _parse_clock_request(payload, reply_base):
    """The request's t1 and reply topic, or None for anything else: bounded,
    a flat JSON object, an integer t1 within 1970 to 9999, a reply topic under
    this clock's replies without wildcards, control characters or empty levels."""
    if len(payload) > MAX_CLOCK_MESSAGE_BYTES or b"[" in payload or payload.count(b"{") > 1:
        return None
    try:
        request = json.loads(payload.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None
    if not isinstance(request, dict):
        return None
    t1, reply = request.get("t1"), request.get("reply")
    if isinstance(t1, bool) or not isinstance(t1, int) or not 0 <= t1 <= MAX_TIME_US:
        return None
    if (not isinstance(reply, str) or not reply.startswith(reply_base) or len(reply) <= len(reply_base)
            or len(reply.encode("utf-8")) > MAX_CLOCK_REPLY_TOPIC_BYTES):
        return None
    rest = reply[len(reply_base):]
    if any(c in "+#" or ord(c) < 0x20 or ord(c) == 0x7F for c in rest) or rest.endswith("/") or "//" in rest \
            or rest.startswith("/"):
        return None
    return t1, reply


class Marker:
    """One connection to the broker for many markers: for experiment
    software that marks every trial. Between markers it answers the
    recorders' clock exchanges (in paho's network thread), so that they keep
    this machine's clock measured.

        with vozi.Marker("mqtt://lab-pc:1883", sender="stim-pc") as m:
            m.mark("stimulus 12 shown")
            m.mark("tone", duration=0.25)

    Raises vozi.Error when the broker cannot be reached within `timeout`
    seconds. clock=False: the markers name no clock and nothing is answered
    (recorders then take their times as sent). password: default from
    VOZI_MQTT_PASSWORD."""

    def __init__(self, url, prefix="vozi", sender=None, username=None, password=None, ca_file=None,
                 timeout=10, clock=True):
        import paho.mqtt.client as mqtt

        tls, host, port = parse_url(url)
        _check_prefix(prefix)
        _check_timeout(timeout)
        if not math.isfinite(timeout):
            raise ValueError("a Marker waits a finite time for the broker, not %r" % timeout)
        self.sender = _default_sender() if sender is None else sender
        _check_field("sender", self.sender, MAX_SENDER_BYTES)
        self.url, self.prefix, self.timeout = url, prefix, timeout
        self.topic = prefix + "/markers"
        self.clock = _clock_name() if clock else None
        self._request_topic = "%s/clock/%s/request" % (prefix, self.clock) if clock else None
        self._reply_base = "%s/clock/%s/reply/" % (prefix, self.clock) if clock else None
        self._done = threading.Condition()
        self._connected = None
        self._published = set()
        self._subscribed = {}
        self._markers_mid = None
        self._echoed = set()
        self._last_request = None  # monotonic time of the last clock request answered
        self._answered = 0
        self._window = (0.0, 0)
        self._closed = False

        # MQTT 5: a broker answers a QoS 1 message with an acknowledgement,
        # which carries its refusal (an ACL that forbids the topic); paho-mqtt
        # before 2.0 does not pass that on. Where the user may read the topic,
        # the marker coming back from the broker is the proof that it was taken.
        client = _client(mqtt, tls, username, password, ca_file, protocol=mqtt.MQTTv5)
        client.on_connect = self._on_connect
        client.on_subscribe = self._on_subscribe
        client.on_message = self._on_message
        client.on_publish = self._on_publish
        self._client = client
        deadline = time.monotonic() + timeout
        try:
            client.connect(host, port, keepalive=30)
        except (OSError, ValueError) as e:
            raise Error("cannot reach the broker %s: %s" % (url, getattr(e, "strerror", None) or e)) from None
        client.loop_start()
        try:
            with self._done:
                self._done.wait_for(lambda: self._connected is not None, max(0, deadline - time.monotonic()))
            rc = self._connected
            if rc is None or rc != 0:
                raise Error("the broker %s %s" % (
                    url, "did not answer within %g s" % timeout if rc is None else "refused the connection: %s" % rc))
            # Subscribed before any marker goes: a recorder asks at once.
            with self._done:
                self._done.wait_for(lambda: len(self._subscribed) == (2 if clock else 1),
                                    max(0, deadline - time.monotonic()))
        except BaseException:
            self.close()
            raise

    def _on_connect(self, client, userdata, flags, rc, properties=None):
        with self._done:
            self._connected = rc
            self._done.notify_all()
        if rc == 0:
            self._acknowledge_at_once(client, nodelay=True)
            self._markers_mid = client.subscribe(self.topic, qos=1)[1]
            if self._request_topic:
                client.subscribe(self._request_topic, qos=0)

    @staticmethod
    def _acknowledge_at_once(client, nodelay=False):
        # A broker that leaves Nagle's algorithm on holds a small message
        # until its last is acknowledged, and Linux delays acknowledgements
        # by up to 40 ms: a clock request would wait that long. Acknowledging
        # at once (reset by the kernel after a while: set on every arrival)
        # keeps the hold to one round trip.
        sock = client.socket()
        if sock is None:
            return
        try:
            if nodelay:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if hasattr(socket, "TCP_QUICKACK"):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        except OSError:
            pass

    def _on_subscribe(self, client, userdata, mid, granted, properties=None):
        with self._done:
            self._subscribed[mid] = all(getattr(g, "value", g) < 0x80 for g in granted)
            self._done.notify_all()

    def _on_message(self, client, userdata, message):
        arrived_us = _now_us()  # t2: before anything else
        if self._request_topic and message.topic == self._request_topic:
            self._acknowledge_at_once(client)
            self._answer(client, message.payload, arrived_us)
            return
        if message.topic == self.topic:
            with self._done:
                if len(self._echoed) < 10000:
                    self._echoed.add(bytes(message.payload))
                self._done.notify_all()

    def _answer(self, client, payload, t2):
        request = _parse_clock_request(bytes(payload), self._reply_base)
        if request is None:
            return
        now = time.monotonic()
        with self._done:
            start, count = self._window
            if now - start >= 1.0:
                start, count = now, 0
            if count >= MAX_CLOCK_ANSWERS_PER_SECOND:
                self._window = (start, count)
                return
            self._window = (start, count + 1)
            self._last_request = now
            self._answered += 1
            self._done.notify_all()
        t1, reply = request
        t3 = _now_us()
        client.publish(reply, json.dumps({"t1": t1, "t2": t2, "t3": t3}), qos=0)

    def _on_publish(self, client, userdata, mid, *rest):
        with self._done:
            self._published.add(mid)
            self._done.notify_all()

    def _wait(self, condition, deadline):
        with self._done:
            return self._done.wait_for(condition, max(0, deadline - time.monotonic()))

    def mark(self, text, duration=None, time_us=None):
        """Sends one marker and returns its payload (a dict) once the broker
        has acknowledged it; raises vozi.Error when it did not within the
        Marker's timeout, ValueError for a text or duration out of bounds.
        The time is this machine's clock when mark is called (or time_us,
        microseconds since 1970 UTC on this machine's clock)."""
        if time_us is None:
            time_us = _now_us()
        if self._closed:
            raise Error("this Marker is closed")
        _check_field("the marker's text", text, MAX_TEXT_BYTES)
        marker = {"format": 1, "text": text, "time_utc_us": time_us}
        if duration is not None:
            if (isinstance(duration, bool) or not isinstance(duration, (int, float))
                    or not math.isfinite(duration) or not 0 <= duration <= 1e9):
                raise ValueError("duration must be a number of seconds, 0 or more, not %r" % (duration,))
            marker["duration_us"] = int(round(duration * 1e6))
        marker["sender"] = self.sender
        if self.clock:
            marker["clock"] = self.clock
        payload = json.dumps(marker, ensure_ascii=False).encode("utf-8")
        deadline = time.monotonic() + self.timeout
        info = self._client.publish(self.topic, payload, qos=1, retain=False)
        if not self._wait(lambda: info.mid in self._published, deadline):
            raise Error("the broker %s did not acknowledge the marker within %g s: it may not have been recorded"
                        % (self.url, self.timeout))
        with self._done:
            markers_readable = self._subscribed.get(self._markers_mid, False)
        if markers_readable and not self._wait(lambda: payload in self._echoed, deadline):
            raise Error("the broker %s acknowledged the marker but did not pass it on within %g s: it refused "
                        "it (does its ACL let this user write %s?) or is overloaded"
                        % (self.url, self.timeout, self.topic))
        with self._done:
            self._echoed.discard(payload)
        return marker

    @property
    def clock_requests_answered(self):
        """Clock requests answered so far."""
        with self._done:
            return self._answered

    def linger(self, quiet=CLOCK_QUIET, longest=CLOCK_LINGER):
        """Stays for the recorders' clock exchanges: until none came for
        `quiet` seconds, `longest` seconds at most (mark() does this after
        its marker)."""
        if not self.clock:
            return
        begun = time.monotonic()
        with self._done:
            while True:
                now = time.monotonic()
                last = max(begun, self._last_request or begun)
                left = min(last + quiet, begun + longest) - now
                if left <= 0:
                    return
                self._done.wait(left)

    def close(self):
        """Disconnects (once; a closed Marker sends nothing)."""
        if self._closed:
            return
        self._closed = True
        try:
            self._client.disconnect()
        finally:
            self._client.loop_stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def mark(url, text, prefix="vozi", sender=None, duration=None, username=None, password=None,
         ca_file=None, timeout=10, clock=True):
    """Sends one marker and returns its payload (a dict) once the broker has
    acknowledged it; raises vozi.Error when the broker cannot be reached or
    did not acknowledge it within `timeout` seconds, ValueError for a text,
    sender or duration out of bounds.

    text: what happened, one line. sender: who says so (default: this
    machine's host name). duration: the span it covers, in seconds (default:
    a moment). The time is this machine's clock when mark is called. The
    marker names this process's clock, and mark stays up to 2 s after the
    acknowledgement (0.5 s without a recorder) to answer the recorders'
    clock exchanges; clock=False: no clock, no waiting (recorders then take
    the time as sent). For many markers, vozi.Marker keeps one connection.
    password: default from VOZI_MQTT_PASSWORD."""
    time_us = _now_us()
    _check_field("the marker's text", text, MAX_TEXT_BYTES)
    if sender is not None:
        _check_field("sender", sender, MAX_SENDER_BYTES)
    if duration is not None and (isinstance(duration, bool) or not isinstance(duration, (int, float))
                                 or not math.isfinite(duration) or not 0 <= duration <= 1e9):
        raise ValueError("duration must be a number of seconds, 0 or more, not %r" % (duration,))
    try:
        marker_sender = Marker(url, prefix=prefix, sender=sender, username=username, password=password,
                               ca_file=ca_file, timeout=timeout, clock=clock)
    except Error as e:
        raise Error("the marker was not sent: %s" % e) from None
    with marker_sender:
        marker = marker_sender.mark(text, duration=duration, time_us=time_us)
        marker_sender.linger()
    return marker
