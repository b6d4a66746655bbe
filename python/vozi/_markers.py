"""Experiment markers: vozi.mark() puts "stimulus 12 shown" into every
`vozi-host record` session of a broker, at this machine's clock's moment,
as `vozi-host mark` does. Topic PREFIX/markers, QoS 1, not retained; the
payload and its bounds: docs/streaming.md, "Experiment markers"."""

import json
import math
import socket
import threading
import time

from .errors import Error
from .remote import _check_prefix, _check_timeout, _client, parse_url

MAX_TEXT_BYTES = 1024
MAX_SENDER_BYTES = 128


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


def mark(url, text, prefix="vozi", sender=None, duration=None, username=None, password=None,
         ca_file=None, timeout=10):
    """Sends one marker and returns its payload (a dict) once the broker has
    acknowledged it; raises vozi.Error when the broker cannot be reached or
    did not acknowledge it within `timeout` seconds, ValueError for a text,
    sender or duration out of bounds.

    text: what happened, one line. sender: who says so (default: this
    machine's host name). duration: the span it covers, in seconds (default:
    a moment). The time is this machine's clock when mark is called.
    password: default from VOZI_MQTT_PASSWORD."""
    import paho.mqtt.client as mqtt

    time_us = time.time_ns() // 1000
    tls, host, port = parse_url(url)
    _check_prefix(prefix)
    _check_timeout(timeout)
    if not math.isfinite(timeout):
        raise ValueError("mark waits a finite time for the broker, not %r" % timeout)
    _check_field("the marker's text", text, MAX_TEXT_BYTES)
    sender = _default_sender() if sender is None else sender
    _check_field("sender", sender, MAX_SENDER_BYTES)
    marker = {"format": 1, "text": text, "time_utc_us": time_us}
    if duration is not None:
        if (isinstance(duration, bool) or not isinstance(duration, (int, float))
                or not math.isfinite(duration) or not 0 <= duration <= 1e9):
            raise ValueError("duration must be a number of seconds, 0 or more, not %r" % (duration,))
        marker["duration_us"] = int(round(duration * 1e6))
    marker["sender"] = sender
    payload = json.dumps(marker, ensure_ascii=False).encode("utf-8")

    topic = prefix + "/markers"
    done = threading.Condition()
    state = {"connected": None, "published": set(), "subscribed": None, "echoed": False}

    def on_connect(client, userdata, flags, rc, properties=None):
        with done:
            state["connected"] = rc
            done.notify_all()
        if rc == 0:
            client.subscribe(topic, qos=1)

    def on_subscribe(client, userdata, mid, granted, properties=None):
        with done:
            state["subscribed"] = all(getattr(g, "value", g) < 0x80 for g in granted)
            done.notify_all()

    def on_message(client, userdata, message):
        if message.topic == topic and message.payload == payload:
            with done:
                state["echoed"] = True
                done.notify_all()

    def on_publish(client, userdata, mid, *rest):
        with done:
            state["published"].add(mid)
            done.notify_all()

    # MQTT 5: a broker answers a QoS 1 message with an acknowledgement, which
    # carries its refusal (an ACL that forbids the topic); paho-mqtt before
    # 2.0 does not pass that on. Where the user may read the topic, the
    # marker coming back from the broker is the proof that it was taken.
    client = _client(mqtt, tls, username, password, ca_file, protocol=mqtt.MQTTv5)
    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    client.on_publish = on_publish
    deadline = time.monotonic() + timeout

    def wait(condition):
        with done:
            return done.wait_for(condition, max(0, deadline - time.monotonic()))

    try:
        client.connect(host, port, keepalive=30)
    except (OSError, ValueError) as e:
        raise Error("the marker was not sent: cannot reach the broker %s: %s"
                    % (url, getattr(e, "strerror", None) or e)) from None
    client.loop_start()
    try:
        wait(lambda: state["connected"] is not None)
        rc = state["connected"]
        if rc is None or rc != 0:
            raise Error("the marker was not sent: the broker %s %s" % (
                url, "did not answer within %g s" % timeout if rc is None else "refused the connection: %s" % rc))
        wait(lambda: state["subscribed"] is not None)
        info = client.publish(topic, payload, qos=1, retain=False)
        if not wait(lambda: info.mid in state["published"]):
            raise Error("the broker %s did not acknowledge the marker within %g s: it may not have been recorded"
                        % (url, timeout))
        if state["subscribed"] and not wait(lambda: state["echoed"]):
            raise Error("the broker %s acknowledged the marker but did not pass it on within %g s: it refused "
                        "it (does its ACL let this user write %s?) or is overloaded" % (url, timeout, topic))
    finally:
        client.disconnect()
        client.loop_stop()
    return marker
