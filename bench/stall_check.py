#!/usr/bin/env python3
"""The time axis of vozi-host when the tool itself stalls.

Records N simulated instruments at 1 ms for 14 s, stops the tool (SIGSTOP)
for 1.5 s and later for 4 s (CSV, EDF+ and SVG written), then checks every row of every CSV against the
simulator's counter channel (the sample's index, modulo 32768):

  rows        rows written
  off>2       rows whose position (time_s / period) is off the counter by
              more than 2 samples, outside a stretch after a -1 mark
  in -1       rows off by more than 2 inside such a stretch (a line the ring
              let in between refused ones: its place cannot be known)
  counted     gap marks with a count; false: on a row where the counter
              runs on without a jump
  -1 marks    gap marks of unknown size; false: without a jump
  unmarked    jumps of the counter by more than 2 on a row marked 0

The run and the checks are bench/time_axis_scenarios.py's and
bench/time_axis_check.py's (the CSV's every row; bench/time_axis_torture.py
checks the EDF+ and the plot as well, in more scenarios).

usage: bench/stall_check.py [--host build/native/tools/vozi-host/vozi-host]
                            [--instruments 3] [--runs 1] [--out DIR]
"""
import argparse
import os
import sys
import tempfile

import time_axis_check as check
import time_axis_scenarios as scenarios

KEYS = ("rows", "off", "after_unknown", "counted", "false_counted", "unknown", "false_unknown", "unmarked")


def main():
    a = argparse.ArgumentParser()
    a.add_argument("--host", default="build/native/tools/vozi-host/vozi-host")
    a.add_argument("--instruments", type=int, default=3)
    a.add_argument("--runs", type=int, default=1)
    a.add_argument("--out")
    args = a.parse_args()
    out = args.out or tempfile.mkdtemp(prefix="vozi-stall-")
    stalled = scenarios.Scenario("stall", "stalled twice", 14.0, instruments=args.instruments,
                                 stalls=[(3.0, 1.5), (7.0, 4.0)], busy_loops=0)
    print("run file      exit " + " ".join("%9s" % k for k in ("rows", "off>2", "in -1", "counted", "false",
                                                              "-1 marks", "false", "unmarked")))
    for r in range(args.runs):
        code, messages, files = scenarios.run(stalled, args.host, out)
        if code != 0:
            # Which check failed is in the tool's own words.
            sys.stderr.write("exit %d:\n%s\n" % (code, messages[-2000:]))
        for csv, _, _ in files:
            t = check.judge(check.CsvRecording(csv).rows)
            print("%3d %-9s %4d " % (r + 1, os.path.basename(csv), code) + " ".join("%9d" % t[k] for k in KEYS))


if __name__ == "__main__":
    main()
