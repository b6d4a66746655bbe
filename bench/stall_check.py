#!/usr/bin/env python3
"""The time axis of vozi-host when the tool itself stalls.

Records N simulated instruments at 1 ms for 14 s, stops the tool (SIGSTOP)
for 1.5 s and later for 4 s, then checks every row of every CSV against the
simulator's counter channel (the sample's index, modulo 32768):

  rows        rows written
  off>2       rows whose position (time_s / period) is off the counter by
              more than 2 samples, outside a stretch after a -1 mark
  in -1       rows off by more than 2 inside such a stretch (a line the ring
              let in between refused ones: its place cannot be known)
  counted     gap marks with a count; false: on a row where the counter
              runs on without a jump
  -1 marks    gap marks of unknown size; false: without a jump
  unmarked    jumps of the counter on a row marked 0

usage: bench/stall_check.py [--host build/native/tools/vozi-host/vozi-host]
                            [--instruments 3] [--runs 1] [--out DIR]
"""
import argparse
import glob
import os
import signal
import subprocess
import sys
import tempfile
import time


def judge(path):
    header = None
    rows = []
    for line in open(path):
        if line.startswith("time_s"):
            header = line.strip().split(",")
        elif line[:1].isdigit():
            rows.append(line.strip().split(","))
    counter = next(i for i, h in enumerate(header) if h.startswith("Counter"))
    t = dict(rows=len(rows), off=0, unknown_off=0, counted=0, false_counted=0, unknown=0,
             false_unknown=0, unmarked=0)
    previous = offset = None
    in_unknown = False
    for f in rows:
        position, value, gap = round(float(f[0]) / 0.001), int(float(f[counter])), f[-1]
        if offset is None:
            offset = value - position
        jump = previous is not None and value != (previous + 1) % 32768
        if gap == "-1":
            in_unknown = True
            t["unknown"] += 1
            t["false_unknown"] += not jump
        elif gap != "0":
            in_unknown = False
            t["counted"] += 1
            t["false_counted"] += not jump
        elif jump:
            t["unmarked"] += 1
        if abs((value - offset - position + 16384) % 32768 - 16384) > 2:
            t["unknown_off" if in_unknown else "off"] += 1
        previous = value
    return t


def run(host, instruments, out):
    for old in glob.glob(os.path.join(out, "s*.csv")):
        os.remove(old)
    csv = os.path.join(out, "s.csv")
    first = os.path.join(out, "s-0.csv" if instruments > 1 else "s.csv")
    p = subprocess.Popen([host, "--simulate=%d" % instruments, "acquire", "--period", "1000", "--seconds",
                          "14", "--allow-loss", "--csv", csv],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def rows():
        try:
            return sum(1 for _ in open(first))
        except OSError:
            return 0

    while rows() < 500 and p.poll() is None:
        time.sleep(0.05)
    start = time.monotonic()
    for at, length in ((3.0, 1.5), (7.0, 4.0)):
        while time.monotonic() - start < at:
            time.sleep(0.01)
        p.send_signal(signal.SIGSTOP)
        time.sleep(length)
        p.send_signal(signal.SIGCONT)
    out_text, err_text = p.communicate(timeout=180)
    if p.returncode != 0:
        # Which check failed is in the tool's own words.
        sys.stderr.write("exit %d:\n%s%s\n" % (p.returncode, out_text, err_text[-2000:]))
    return p.returncode, {os.path.basename(f): judge(f) for f in sorted(glob.glob(os.path.join(out, "s*.csv")))}


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--host", default="build/native/tools/vozi-host/vozi-host")
    a.add_argument("--instruments", type=int, default=3)
    a.add_argument("--runs", type=int, default=1)
    a.add_argument("--out")
    args = a.parse_args()
    out = args.out or tempfile.mkdtemp(prefix="vozi-stall-")
    keys = ("rows", "off", "unknown_off", "counted", "false_counted", "unknown", "false_unknown", "unmarked")
    print("run file      exit " + " ".join("%9s" % k for k in ("rows", "off>2", "in -1", "counted", "false",
                                                              "-1 marks", "false", "unmarked")))
    for r in range(args.runs):
        code, files = run(args.host, args.instruments, out)
        for name, t in files.items():
            print("%3d %-9s %4d " % (r + 1, name, code) + " ".join("%9d" % t[k] for k in keys))


if __name__ == "__main__":
    main()
