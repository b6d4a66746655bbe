#!/usr/bin/python3
"""How well vozi-host record places streams and markers on its own clock
when the senders' clocks disagree. Run by hand:

    bench/clock_check.py build/native [seconds]

One mosquitto on a free loopback port; two publishers of simulated
instruments (1 kHz), the first with its clock 2.5 s ahead (libfaketime),
the second on the true clock; markers from two more processes 1.5 s behind:
`vozi-host mark` (one-shot) and a Python vozi.Marker (one connection, a
marker every 0.4 s); one recorder. Prints the offsets the recorder measured
against the truth, and for every marker in both instruments' EDF+ files
(read with MNE) how far its annotation is from the sample that was current
at its true time: the annotation's onset against the truth, and the Counter
channel's position at the annotated sample against the true position.

Goals: offsets within 1 ms; every marker within 2 ms."""

import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import mne

AHEAD, BEHIND = 2.5, -1.5
FAKETIME = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]


def shifted(env, seconds):
    return dict(env, LD_PRELOAD=FAKETIME, FAKETIME="%+gs" % seconds, FAKETIME_DONT_FAKE_MONOTONIC="1")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            sys.exit("timed out waiting for the recording")
        time.sleep(0.02)


def session(folder):
    try:
        with open(os.path.join(folder, "session.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


MARKER_PROGRAM = r"""
import sys, threading, vozi
pause = threading.Event()  # (time.sleep fails under libfaketime)
with vozi.Marker(sys.argv[1], sender="python") as m:
    for k in range(int(sys.argv[2])):
        m.mark("python %d" % k)
        pause.wait(0.4)
    m.linger()
"""


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    host = os.path.join(build, "tools", "vozi-host", "vozi-host")
    if FAKETIME is None or not shutil.which("mosquitto"):
        sys.exit("needs libfaketime (Debian faketime) and mosquitto")
    folder = tempfile.mkdtemp(prefix="clock_check_")
    env = dict(os.environ, TMPDIR=folder, PYTHONPATH=os.path.join(build, "python"))
    port = free_port()
    url = "mqtt://127.0.0.1:%d" % port
    with open(os.path.join(folder, "mosquitto.conf"), "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    processes = [subprocess.Popen(["mosquitto", "-c", os.path.join(folder, "mosquitto.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    out = os.path.join(folder, "rec")
    try:
        wait_until(lambda: subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "x", "-n"],
                                          stderr=subprocess.DEVNULL).returncode == 0)
        with open(os.path.join(folder, "rec.out"), "w") as rec_out:
            recorder = subprocess.Popen([host, "record", "--broker", url, "--out", out], stdout=rec_out,
                                        stderr=subprocess.DEVNULL, env=env)
        processes.append(recorder)
        wait_until(lambda: "recording " in open(os.path.join(folder, "rec.out")).read())
        publish = ["publish", "--broker", url, "--seconds", str(seconds)]
        processes.append(subprocess.Popen([host, "--simulate=1"] + publish, env=shifted(env, AHEAD),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        processes.append(subprocess.Popen([host, "--simulate=2"] + publish + ["--device", "1"], env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: len((session(out) or {}).get("streams", [])) == 2)
        time.sleep(2)  # markers from the third second on
        behind = shifted(env, BEHIND)
        python = subprocess.Popen([sys.executable, "-c", MARKER_PROGRAM, url, str(int((seconds - 8) / 0.45))],
                                  env=behind)
        processes.append(python)
        for k in range(5):
            subprocess.run([host, "mark", "--broker", url, "mark %d" % k], env=behind, check=True,
                           stdout=subprocess.DEVNULL)
            time.sleep(0.5)
        python.wait(seconds + 30)
        for p in processes[2:4]:
            p.wait(seconds + 60)
        wait_until(lambda: all(s["end"] is not None for s in session(out)["streams"]))
        recorder.send_signal(signal.SIGINT)
        recorder.wait(30)
    finally:
        for p in processes:
            if p.poll() is None:
                p.terminate()
                p.wait(10)

    s = session(out)
    print("clocks measured (offset of the sender's clock, microseconds; best round trip):")
    truth = {}
    for x in s["streams"]:
        shift = AHEAD if x["clock_offset_us"] > 1e6 else 0.0
        truth[x["clock"]] = shift
    for m in s["markers"]:
        truth[m["clock"]] = BEHIND
    worst_offset = 0
    for c in s["clocks"]:
        e = c["estimate"]
        error = e["offset_us"] - truth[c["clock"]] * 1e6
        worst_offset = max(worst_offset, abs(error))
        print("  %-28s truth %+9.0f  measured %+12.1f  error %+7.1f us  drift %+.2f ppm  round trip %4d us  "
              "(%d/%d answered)" % (c["clock"], truth[c["clock"]] * 1e6, e["offset_us"], error, e["drift_ppm"],
                                    e["round_trip_us"], c["answered"], c["asked"]))
    print("markers: error of the annotation against the sample current at the marker's true time (ms)")
    worst_marker = 0
    for x in s["streams"]:
        shift = truth[x["clock"]]
        edf = [f for f in x["files"] if f.endswith(".edf")][0]
        raw = mne.io.read_raw_edf(os.path.join(out, edf), preload=True, verbose="error")
        onsets = dict(zip(raw.annotations.description, raw.annotations.onset))
        counter = raw.get_data(picks=["Counter"])[0]
        period_s = x["period_us"] / 1e6
        onset_errors, counter_errors = [], []
        for m in s["markers"]:
            if m["text"] not in onsets:
                continue
            true_position = (m["sender_time_utc_us"] - BEHIND * 1e6 + shift * 1e6 - x["started_us"]) / x["period_us"]
            onset = onsets[m["text"]] - onsets["stream start"]
            onset_errors.append((onset - (true_position - x["first_position"]) * period_s) * 1e3)
            sample = int(onset / period_s + 1e-6)  # the sample current at the annotation
            counter_errors.append((counter[sample] - int(true_position) % 32768) * period_s * 1e3)
        worst = max(abs(e) for e in onset_errors + counter_errors)
        worst_marker = max(worst_marker, worst)
        print("  %s (clock %+.1f s): %d of %d markers annotated; onset error min %+.3f max %+.3f mean %+.3f; "
              "Counter at the annotated sample: %s"
              % (x["topic_id"], shift, len(onset_errors), len(s["markers"]), min(onset_errors), max(onset_errors),
                 sum(onset_errors) / len(onset_errors),
                 ", ".join("%+g" % e for e in sorted(set(round(e, 3) for e in counter_errors)))))
    print("worst offset error %.1f us (goal 1000); worst marker error %.3f ms (goal 2)" % (worst_offset, worst_marker))
    print("files: %s" % folder)
    return 0 if worst_offset <= 1000 and worst_marker <= 2 else 1


if __name__ == "__main__":
    sys.exit(main())
