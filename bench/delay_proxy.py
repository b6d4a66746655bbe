#!/usr/bin/python3
"""A TCP proxy on the loopback that makes a link slow the way a network is:
every chunk it reads is held for a delay of its own (a base, a jitter
around it, now and then a spike) before it goes on, separately for each
direction. A connection's bytes keep their order (a chunk never leaves
before the one read ahead of it, as over TCP), so a spike holds up what
follows it. Run by hand, between clients and a broker:

    bench/delay_proxy.py <listen port> <broker port> <profile>   (Ctrl-C or SIGTERM ends it)

or from another bench (bench/clock_check.py) as DelayProxy.

It uses a thread per direction, not asyncio: an asyncio loop wakes on
whole milliseconds (epoll's timeout), so a 0.2 ms delay became 1.1 ms;
time.sleep overshoots by about 0.07 ms, which the delays it reports
include (they are measured, from a chunk's read to its write)."""

import collections
import random
import signal
import socket
import sys
import threading
import time


class Direction:
    """The delay of one direction: base ± jitter (uniform, never below 0),
    and with probability `spikes` a chunk held `spike_ms` (a range) instead."""

    def __init__(self, base_ms, jitter_ms=0.0, spikes=0.0, spike_ms=(0.0, 0.0)):
        self.base_ms, self.jitter_ms, self.spikes, self.spike_ms = base_ms, jitter_ms, spikes, spike_ms

    def draw(self, rng):
        if self.spikes and rng.random() < self.spikes:
            return rng.uniform(*self.spike_ms) / 1e3
        return max(0.0, self.base_ms + rng.uniform(-self.jitter_ms, self.jitter_ms)) / 1e3

    def __str__(self):
        s = "%g" % self.base_ms + (" ± %g" % self.jitter_ms if self.jitter_ms else "") + " ms"
        if self.spikes:
            s += ", %g%% spikes of %g-%g ms" % (self.spikes * 100, self.spike_ms[0], self.spike_ms[1])
        return s


# up: from the client to the broker; down: from the broker to the client.
PROFILES = {
    "lan": (Direction(0.2, 0.1), Direction(0.2, 0.1)),
    # Wi-Fi: slower towards the client (the access point queues), a jitter
    # of a few ms, a spike of tens of ms for one chunk in fifty.
    "wifi": (Direction(2.0, 1.5, 0.02, (20, 60)), Direction(4.0, 3.0, 0.02, (20, 60))),
    # The same short jitter both ways, the request's way 4 ms slower.
    "asymmetric": (Direction(0.3, 0.1), Direction(4.3, 0.1)),
}


class Delays:
    """The delays a direction's chunks actually had (read to written), in seconds."""

    def __init__(self):
        self.values = []
        self.lock = threading.Lock()

    def add(self, seconds):
        with self.lock:
            self.values.append(seconds)

    def summary(self):
        with self.lock:
            v = sorted(self.values)
        if not v:
            return "no chunks"
        at = lambda q: v[min(len(v) - 1, int(q * len(v)))] * 1e3
        return "%d chunks, ms: min %.2f median %.2f p90 %.2f max %.2f" % (len(v), v[0] * 1e3, at(0.5), at(0.9),
                                                                          v[-1] * 1e3)


def _acknowledge_at_once(sock):
    # Linux clears the flag as it acknowledges; set again after every read,
    # so that the proxy adds no delayed acknowledgement of its own.
    if hasattr(socket, "TCP_QUICKACK"):
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        except OSError:
            pass


class _Pipe:
    """One direction of one connection: a reader that stamps each chunk with
    the time it may leave, a writer that sends it then."""

    def __init__(self, source, sink, direction, rng, delays, on_end):
        self.source, self.sink, self.direction, self.rng, self.delays = source, sink, direction, rng, delays
        self.on_end = on_end
        self.queue = collections.deque()
        self.ready = threading.Condition()
        self.threads = [threading.Thread(target=self._read, daemon=True),
                        threading.Thread(target=self._write, daemon=True)]

    def start(self):
        for t in self.threads:
            t.start()

    def _push(self, item):
        with self.ready:
            self.queue.append(item)
            self.ready.notify()

    def _read(self):
        last = 0.0
        try:
            while True:
                _acknowledge_at_once(self.source)
                data = self.source.recv(65536)
                if not data:
                    break
                now = time.monotonic()
                last = max(now + self.direction.draw(self.rng), last)  # never ahead of the chunk before
                self._push((now, last, data))
        except OSError:
            pass
        self._push(None)

    def _write(self):
        try:
            while True:
                with self.ready:
                    while not self.queue:
                        self.ready.wait()
                    item = self.queue.popleft()
                if item is None:
                    self.sink.shutdown(socket.SHUT_WR)
                    break
                read_at, due, data = item
                while True:
                    left = due - time.monotonic()
                    if left <= 0:
                        break
                    time.sleep(left)
                self.sink.sendall(data)
                self.delays.add(time.monotonic() - read_at)
        except OSError:
            # A side gone: the other direction's reader is not to wait for it.
            for s in (self.source, self.sink):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self.on_end()


class DelayProxy:
    """Listens on 127.0.0.1 (a free port unless one is given) and relays each
    connection to 127.0.0.1:<target>, delaying `up` and `down`."""

    def __init__(self, target_port, up, down, port=0, seed=1):
        self.target_port, self.up, self.down = target_port, up, down
        self.rng = random.Random(seed)
        self.up_delays, self.down_delays = Delays(), Delays()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.closed = False
        self.thread = threading.Thread(target=self._accept, daemon=True)

    def start(self):
        self.thread.start()
        return self

    def close(self):
        self.closed = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                broker = socket.create_connection(("127.0.0.1", self.target_port))
            except OSError:
                client.close()
                continue
            self.connections += 1
            for s in (client, broker):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            ended = [0]
            lock = threading.Lock()

            def on_end(client=client, broker=broker, ended=ended, lock=lock):
                with lock:
                    ended[0] += 1
                    if ended[0] < 2:
                        return
                client.close()
                broker.close()

            # Each pipe draws from its own generator, so that one connection's
            # traffic does not change another's delays.
            seed = self.rng.random()
            _Pipe(client, broker, self.up, random.Random(seed), self.up_delays, on_end).start()
            _Pipe(broker, client, self.down, random.Random(seed + 1), self.down_delays, on_end).start()


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in PROFILES:
        sys.exit(__doc__ + "\nprofiles: " + ", ".join(PROFILES))
    up, down = PROFILES[sys.argv[3]]
    stop = threading.Event()
    for s in (signal.SIGINT, signal.SIGTERM):  # SIGINT too: a shell ignores it in a job it starts in the background
        signal.signal(s, lambda *_: stop.set())
    with DelayProxy(int(sys.argv[2]), up, down, port=int(sys.argv[1])) as proxy:
        print("127.0.0.1:%d -> 127.0.0.1:%s; up %s; down %s" % (proxy.port, sys.argv[2], up, down), flush=True)
        while not stop.wait(1):
            pass
    print("up:   %s\ndown: %s" % (proxy.up_delays.summary(), proxy.down_delays.summary()))


if __name__ == "__main__":
    main()
