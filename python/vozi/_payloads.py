"""The payloads of a published instrument's topics (docs/streaming.md),
decoded as hostile input: every size, type, nesting depth and count is
bounded before it is used. Each decoder returns the decoded value or raises
Malformed with a short reason; the subscription skips and counts those."""

import json
import math
import re
import struct

import numpy as np

FORMATS = (1, 2)
_HEADERS = {1: struct.Struct("<HHIQq"),    # format, channels, count, first, host time (us)
            2: struct.Struct("<HHIQqq")}   # ... and the stream's started_us

# An info of 255 channels with long names is some 40 kB; an event a few
# hundred bytes. Anything far beyond is not a publisher's.
MAX_INFO_BYTES = 256 * 1024
MAX_EVENT_BYTES = 16 * 1024
# The deepest document a publisher writes nests three levels (info, its
# channel list, a channel); the parser recurses once per level.
MAX_NESTING = 16
MAX_CHANNELS = 1024
MAX_TEXT = 1024                            # any one text field of info or an event
MAX_PERIOD_US = 3600 * 1000000             # a sample an hour
MAX_POSITION = 1 << 62                     # positions at any rate for millennia
MAX_BATCH_BYTES = 32 + 4 * 1000 * MAX_CHANNELS * 2  # twice a publisher's largest batch


class Malformed(ValueError):
    pass


class Unknown(Exception):
    """An info of a format this package does not read (a newer publisher)."""


_STRING = re.compile(r'"(?:[^"\\]|\\.)*"', re.S)
_BRACKET = re.compile(r"[\[\]{}]")


def _json(payload, limit):
    if len(payload) > limit:
        raise Malformed("%d bytes, more than %d" % (len(payload), limit))
    try:
        text = bytes(payload).decode("utf-8")
    except UnicodeDecodeError:
        raise Malformed("not UTF-8 text") from None
    # The depth is measured outside strings before the parser sees it: a
    # deeply nested document would exhaust the interpreter's recursion.
    depth = deepest = 0
    for m in _BRACKET.finditer(_STRING.sub("", text)):
        depth += 1 if m.group() in "[{" else -1
        deepest = max(deepest, depth)
        if deepest > MAX_NESTING:
            raise Malformed("nested deeper than %d" % MAX_NESTING)

    def refuse(constant):
        raise Malformed("%s is no JSON number" % constant)
    try:
        return json.loads(text, parse_constant=refuse)
    except Malformed:
        raise
    except (ValueError, RecursionError):
        raise Malformed("not JSON") from None


def _integer(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _number(v):
    return (isinstance(v, (int, float)) and not isinstance(v, bool)
            and math.isfinite(float(v)))


def _text(info, key, required=False):
    v = info.get(key)
    if v is None and not required:
        return None
    if _integer(v) and abs(v) < 1 << 64:
        return str(v)  # a unique id or a firmware number written as a number
    if not isinstance(v, str) or len(v) > MAX_TEXT:
        raise Malformed("info field %s is no text" % key)
    return v


def decode_info(payload):
    """A dict with the checked fields (channels as tuples index, name, units,
    min, max); raises Unknown for another format."""
    info = _json(payload, MAX_INFO_BYTES)
    if not isinstance(info, dict):
        raise Malformed("info is not an object")
    fmt = info.get("format")
    if not _integer(fmt):
        raise Malformed("info has no format")
    if fmt not in FORMATS:
        raise Unknown("format %d" % fmt)
    period = info.get("period_us")
    if period is not None and not (_integer(period) and 0 < period <= MAX_PERIOD_US):
        raise Malformed("info has no plausible period (period_us %.40r)" % (period,))
    channels = info.get("channels")
    if not isinstance(channels, list) or not 0 < len(channels) <= MAX_CHANNELS:
        raise Malformed("info has no channels (1 to %d)" % MAX_CHANNELS)
    checked = []
    for k, c in enumerate(channels):
        if not isinstance(c, dict) or not isinstance(c.get("name"), str) or len(c["name"]) > MAX_TEXT:
            raise Malformed("info has a channel without a name")
        index = c.get("index", k + 1)
        units = c.get("units", "")
        if not _integer(index) or not 0 < index < 1 << 16:
            raise Malformed("channel %d has no index" % (k + 1))
        if not isinstance(units, str) or len(units) > MAX_TEXT:
            raise Malformed("channel %d has units that are no text" % (k + 1))
        low, high = c.get("min"), c.get("max")
        if low is None and high is None:
            pass
        elif not (_number(low) and _number(high) and high >= low):
            raise Malformed("channel %d has no range (min %.40r, max %.40r)" % (k + 1, low, high))
        checked.append((index, c["name"], units, low, high))
    started_us = info.get("started_us")
    if fmt >= 2 and not (_integer(started_us) and 0 <= started_us < 1 << 63):
        raise Malformed("info has no started_us")
    out = {key: _text(info, key) for key in ("unique_id", "model", "firmware", "version",
                                             "description", "period_source", "started", "tool")}
    out.update(format=fmt, period_us=period, channels=checked,
               started_us=started_us if fmt >= 2 else None)
    return out


def decode_batch(payload):
    """(format, first, count, stream_us or None, float32 values (count, channels))."""
    if len(payload) < 2:
        raise Malformed("samples batch shorter than its header")
    fmt = int.from_bytes(payload[:2], "little")
    header = _HEADERS.get(fmt)
    if header is None:
        raise Malformed("samples batch of format %d" % fmt)
    if len(payload) < header.size or len(payload) > MAX_BATCH_BYTES:
        raise Malformed("samples batch of %d bytes" % len(payload))
    fields = header.unpack_from(payload)
    channels, count, first = fields[1:4]
    if not channels:
        raise Malformed("samples batch of no channels")
    if len(payload) != header.size + 4 * count * channels:
        raise Malformed("samples batch length differs from its counts")
    if first >= MAX_POSITION:
        raise Malformed("samples batch at position %d" % first)
    values = np.frombuffer(payload, dtype="<f4", count=count * channels, offset=header.size)
    return fmt, first, count, (fields[5] if fmt == 2 else None), values.reshape(count, channels)


def decode_event(payload):
    e = _json(payload, MAX_EVENT_BYTES)
    if not isinstance(e, dict) or not isinstance(e.get("event"), str):
        raise Malformed("event without a name")
    position = e.get("position")
    if position is not None and not (_integer(position) and 0 <= position < MAX_POSITION):
        raise Malformed("event at no position")
    stream = e.get("stream")
    if stream is not None and not _integer(stream):
        raise Malformed("event of no stream")
    for key in ("reason", "cause", "time"):
        if key in e and e[key] is not None and (not isinstance(e[key], str) or len(e[key]) > MAX_TEXT):
            raise Malformed("event field %s is no text" % key)
    return e


def decode_status(payload):
    """"online", "offline", or None for an empty (cleared) status."""
    if not payload:
        return None
    if payload not in (b"online", b"offline"):
        raise Malformed("status neither online nor offline")
    return payload.decode()
