"""Conversion rate of the vozi Python package: the enabler's sample text
(16 scaled channels a line) into float64 NumPy arrays in physical units, the
way Instrument.read() does it: pieces of up to 64 KiB (what the receive ring
holds at most), each converted and taken as one array.

Run with PYTHONPATH=build/native/python /usr/bin/python3 bench/python_convert_bench.py"""

import argparse
import time

import numpy as np

from vozi import _vozi

CHANNELS = 16
PIECE = 65535


def sample_text(lines, seed=1):
    rng = np.random.default_rng(seed)
    values = rng.integers(0, 32768, size=(lines, CHANNELS))
    return "".join("@ " + ",".join(map(str, row)) + "\n" for row in values.tolist()).encode()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="measure at least this long")
    args = parser.parse_args()

    text = sample_text(100000)
    pieces = [text[i:i + PIECE] for i in range(0, len(text), PIECE)]
    lines_per_pass = text.count(b"\n")
    conv = _vozi.Converter([-5.0 + k for k in range(CHANNELS)], [5.0 + 2 * k for k in range(CHANNELS)])

    samples = 0
    rows = 0
    wall0, cpu0 = time.perf_counter(), time.thread_time()
    while time.perf_counter() - wall0 < args.seconds:
        for piece in pieces:
            conv.feed(piece)
            rows += len(conv.take())
        samples += lines_per_pass
    wall, cpu = time.perf_counter() - wall0, time.thread_time() - cpu0
    counts = conv.counts
    if rows != samples or counts["malformed"] or conv.ready:
        raise SystemExit("conversion lost lines: %d rows of %d samples, %d malformed"
                         % (rows, samples, counts["malformed"]))
    print("python convert: %d samples of %d channels, %.1f MB of text, in %.2f s CPU (%.2f s wall)"
          % (samples, CHANNELS, samples * len(text) / lines_per_pass / 1e6, cpu, wall))
    print("python convert: %.0f samples/s on one core (%.1f ns/sample, %.0f MB/s of text)"
          % (samples / cpu, cpu / samples * 1e9, samples * len(text) / lines_per_pass / cpu / 1e6))


if __name__ == "__main__":
    main()
