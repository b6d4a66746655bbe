#!/usr/bin/env python3
"""The far end of a serial line for the Windows tests under Wine.

Opens a pseudo-terminal pair and stands in for an instrument at the master
side: every byte the program under test writes to the COM port is appended to
a log file (so a test can check the exact bytes that went out on the line) and
echoed back (so a test can check the receive path with bytes it chose).

Usage: pty_peer.py LOG_FILE READY_FILE
Writes the slave's path (/dev/pts/N) to READY_FILE once the pair is open, and
runs until it receives SIGTERM.
"""
import errno
import os
import select
import signal
import sys
import tty


def main() -> int:
    log_path, ready_path = sys.argv[1], sys.argv[2]
    master, slave = os.openpty()
    # Raw from the start: no echo by the line discipline, no CR/LF mapping, so
    # the bytes on the line are exactly the bytes written. The slave stays open
    # here as well, so the master never sees a hang-up between two opens of the
    # COM port by the tests.
    tty.setraw(slave)
    slave_path = os.ttyname(slave)

    stop = False

    def on_term(_signum, _frame):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)

    # The echo never blocks: bytes the program has not read yet wait here, so
    # the peer keeps logging what arrives even while the way back is full.
    os.set_blocking(master, False)
    pending = bytearray()
    with open(log_path, "wb", buffering=0) as log:
        with open(ready_path + ".tmp", "w") as ready:
            ready.write(slave_path + "\n")
        os.rename(ready_path + ".tmp", ready_path)
        while not stop:
            try:
                readable, writable, _ = select.select(
                    [master], [master] if pending else [], [], 0.2)
            except InterruptedError:
                continue
            if readable:
                try:
                    data = os.read(master, 65536)
                except BlockingIOError:
                    data = b""
                except OSError as error:
                    if error.errno != errno.EIO:  # EIO: no slave open just now
                        raise
                    data = b""
                if data:
                    log.write(data)
                    pending += data
            if writable and pending:
                try:
                    written = os.write(master, pending)
                    del pending[:written]
                except BlockingIOError:
                    pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
