#!/usr/bin/python3
"""How well vozi-host record places streams and markers on its own clock
when the senders' clocks disagree. Run by hand:

    bench/clock_check.py build/native [seconds] [profile,...]

Profiles (default: all, one after the other): loopback (every client on
the broker directly), and lan, wifi, asymmetric: the publishers and the
marker senders reach the broker through bench/delay_proxy.py, which delays
each direction as its profile says; the recorder stays on the broker
directly, so that what each exchange measures is the sender's path alone.

One mosquitto on a free loopback port; two publishers of simulated
instruments (1 kHz), the first with its clock 2.5 s ahead (libfaketime),
the second on the true clock; markers from two more processes 1.5 s behind:
`vozi-host mark` (one-shot) and a Python vozi.Marker (one connection, a
marker every 0.4 s); one recorder. Prints the offsets the recorder measured
against the truth, and for every marker in both instruments' EDF+ files
(read with MNE) how far its annotation is from the sample that was current
at its true time: the annotation's onset against the truth, and the Counter
channel's position at the annotated sample against the true position.

Goals: on the loopback, offsets within 1 ms and every marker within 2 ms;
on every profile, each clock's offset within the bound session.json states
for it (half its estimate's round trip), and each exchange kept within half
its own round trip (which only a wrong timestamp can break)."""

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

import delay_proxy

try:
    import mne
except ImportError:  # read by read_edf below instead
    mne = None

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




def run_scene(build, seconds, profile):
    """The scene once, the senders behind a proxy of `profile` (none for
    the loopback). Returns the recording's folder and the proxy."""
    host = os.path.join(build, "tools", "vozi-host", "vozi-host")
    folder = tempfile.mkdtemp(prefix="clock_check_%s_" % profile)
    env = dict(os.environ, TMPDIR=folder, PYTHONPATH=os.path.join(build, "python"))
    port = free_port()
    url = "mqtt://127.0.0.1:%d" % port
    with open(os.path.join(folder, "mosquitto.conf"), "w") as f:
        f.write("listener %d 127.0.0.1\nallow_anonymous true\n" % port)
    processes = [subprocess.Popen(["mosquitto", "-c", os.path.join(folder, "mosquitto.conf")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    proxy = None
    if profile != "loopback":
        up, down = delay_proxy.PROFILES[profile]
        proxy = delay_proxy.DelayProxy(port, up, down, seed=sum(map(ord, profile))).start()
    senders = "mqtt://127.0.0.1:%d" % proxy.port if proxy else url
    out = os.path.join(folder, "rec")
    try:
        wait_until(lambda: subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "x", "-n"],
                                          stderr=subprocess.DEVNULL).returncode == 0)
        with open(os.path.join(folder, "rec.out"), "w") as rec_out:
            recorder = subprocess.Popen([host, "record", "--broker", url, "--out", out], stdout=rec_out,
                                        stderr=subprocess.DEVNULL, env=env)
        processes.append(recorder)
        wait_until(lambda: "recording " in open(os.path.join(folder, "rec.out")).read())
        publish = ["publish", "--broker", senders, "--seconds", str(seconds)]
        processes.append(subprocess.Popen([host, "--simulate=1"] + publish, env=shifted(env, AHEAD),
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        processes.append(subprocess.Popen([host, "--simulate=2"] + publish + ["--device", "1"], env=env,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: len((session(out) or {}).get("streams", [])) == 2)
        time.sleep(2)  # markers from the third second on
        behind = shifted(env, BEHIND)
        python = subprocess.Popen([sys.executable, "-c", MARKER_PROGRAM, senders, str(int((seconds - 8) / 0.45))],
                                  env=behind)
        processes.append(python)
        for k in range(5):
            subprocess.run([host, "mark", "--broker", senders, "mark %d" % k], env=behind, check=True,
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
        if proxy:
            proxy.close()
    return folder, proxy


def clock_errors(s):
    """Per clock: its truth, the estimate's error, the bound session.json
    states (bound_us), half the estimate's shortest round trip beside it, and
    the exchanges kept that lie outside half their own round trip."""
    truth = {}
    for x in s["streams"]:
        truth[x["clock"]] = AHEAD if x["clock_offset_us"] > 1e6 else 0.0
    for m in s["markers"]:
        truth[m["clock"]] = BEHIND
    rows = []
    for c in s["clocks"]:
        e = c["estimate"]
        t = truth[c["clock"]] * 1e6
        outside = [x for x in c["exchanges"] if abs(x["offset_us"] - t) > x["round_trip_us"] / 2]
        rows.append(dict(clock=c["clock"], truth=t, measured=e["offset_us"], error=e["offset_us"] - t,
                         drift=e["drift_ppm"], round_trip=e["round_trip_us"], bound=e["bound_us"],
                         exchange_trips=[x["round_trip_us"] for x in c["exchanges"]], outside=len(outside),
                         kept=len(c["exchanges"]), used=e["bursts_used"], answered=c["answered"], asked=c["asked"],
                         kind="publisher" if t > 0 else "marker" if t < 0 else "true clock"))
    return truth, rows


def read_edf(path):
    """An EDF+ file's annotations (text: onset in seconds) and its Counter
    channel (physical values), for when MNE is not installed."""
    with open(path, "rb") as f:
        data = f.read()
    field = lambda at, size: data[at:at + size].decode("ascii").strip()
    header, records, ns = int(field(184, 8)), int(field(236, 8)), int(field(252, 4))
    column = lambda offset, size: [field(256 + offset * ns + i * size, size) for i in range(ns)]
    labels = column(0, 16)
    pmin, pmax = [float(x) for x in column(104, 8)], [float(x) for x in column(112, 8)]
    dmin, dmax = [float(x) for x in column(120, 8)], [float(x) for x in column(128, 8)]
    per_record = [int(x) for x in column(216, 8)]
    record_bytes = 2 * sum(per_record)
    onsets, counter = {}, []
    c = labels.index("Counter")
    for r in range(records):
        at = header + r * record_bytes
        for i in range(ns):
            chunk = data[at:at + 2 * per_record[i]]
            at += 2 * per_record[i]
            if i == c:
                scale = (pmax[i] - pmin[i]) / (dmax[i] - dmin[i])
                counter += [(int.from_bytes(chunk[k:k + 2], "little", signed=True) - dmin[i]) * scale + pmin[i]
                            for k in range(0, len(chunk), 2)]
            elif labels[i] == "EDF Annotations":  # there may be several
                for tal in chunk.split(b"\0"):
                    parts = tal.split(b"\x14")
                    onset = float(parts[0].split(b"\x15")[0] or "nan")
                    for text in parts[1:]:
                        if text:
                            onsets.setdefault(text.decode("utf-8"), onset)
    return onsets, counter


def marker_errors(s, out, truth):
    """Per stream: the markers' annotation errors and the Counter channel's
    at the annotated sample (ms)."""
    result = []
    for x in s["streams"]:
        shift = truth[x["clock"]]
        edf = [f for f in x["files"] if f.endswith(".edf")][0]
        if mne:
            raw = mne.io.read_raw_edf(os.path.join(out, edf), preload=True, verbose="error")
            onsets = dict(zip(raw.annotations.description, raw.annotations.onset))
            counter = raw.get_data(picks=["Counter"])[0]
        else:
            onsets, counter = read_edf(os.path.join(out, edf))
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
        result.append(dict(stream=x["topic_id"], shift=shift, onset=onset_errors, counter=counter_errors,
                           markers=len(s["markers"])))
    return result


def report(profile, folder, proxy):
    out = os.path.join(folder, "rec")
    s = session(out)
    print("== %s%s" % (profile, "" if proxy else " (no proxy)"))
    if proxy:
        print("  delays each chunk had, read to written: up (to the broker) %s; down %s"
              % (proxy.up_delays.summary(), proxy.down_delays.summary()))
    truth, rows = clock_errors(s)
    print("  clocks (us): truth, measured, error, the bound stated (bound_us), held?, half the shortest round trip, "
          "within it?")
    for r in rows:
        print("    %-10s %+9.0f %+12.1f error %+8.1f bound %7.1f %-3s half round trip %7.1f %-3s drift %+7.2f ppm; "
              "round trips of the %d bursts kept %d-%d, %d used; %d of them outside half their own; %d/%d answered"
              % (r["kind"], r["truth"], r["measured"], r["error"], r["bound"],
                 "yes" if abs(r["error"]) <= r["bound"] else "NO", r["round_trip"] / 2,
                 "yes" if abs(r["error"]) <= r["round_trip"] / 2 else "NO", r["drift"], r["kept"],
                 min(r["exchange_trips"]),
                 max(r["exchange_trips"]), r["used"], r["outside"], r["answered"], r["asked"]))
    applied = [(x["topic_id"], x["clock_offset_us"] - truth[x["clock"]] * 1e6) for x in s["streams"]]
    applied_markers = [m["clock_offset_us"] - truth[m["clock"]] * 1e6 for m in s["markers"]]
    print("  offsets applied (us, minus the truth): streams %s; markers %+.1f to %+.1f"
          % (", ".join("%s %+.1f" % a for a in applied), min(applied_markers), max(applied_markers)))
    marks = marker_errors(s, out, truth)
    for m in marks:
        print("  %s (clock %+.1f s): %d of %d markers annotated; onset error min %+.3f max %+.3f mean %+.3f ms; "
              "Counter at the annotated sample: %s ms"
              % (m["stream"], m["shift"], len(m["onset"]), m["markers"], min(m["onset"]), max(m["onset"]),
                 sum(m["onset"]) / len(m["onset"]),
                 ", ".join("%+g" % e for e in sorted(set(round(e, 3) for e in m["counter"])))))
    print("  files: %s (EDF+ read with %s)" % (folder, "MNE" if mne else "read_edf"))
    return dict(profile=profile, proxy=proxy, rows=rows, marks=marks)


def summary(results):
    print("\nprofile     | delays (up / down, median; max) ms | best round trip us | errors us: publisher, "
          "markers (worst), true clock | bounds us | held | within half the round trip | markers' onsets ms")
    ok = True
    for r in results:
        held = all(abs(x["error"]) <= x["bound"] and x["outside"] == 0 for x in r["rows"])
        ok = ok and held
        delays = "-"
        if r["proxy"]:
            med = lambda d: sorted(d.values)[len(d.values) // 2] * 1e3 if d.values else 0
            delays = "%.2f / %.2f; %.1f" % (med(r["proxy"].up_delays), med(r["proxy"].down_delays),
                                            max(r["proxy"].up_delays.values + r["proxy"].down_delays.values) * 1e3)
        trips = [x["round_trip"] for x in r["rows"]]
        bounds = [x["bound"] for x in r["rows"]]
        half = all(abs(x["error"]) <= x["round_trip"] / 2 for x in r["rows"])
        by = lambda kind: [x["error"] for x in r["rows"] if x["kind"] == kind]
        worst = lambda v: max(v, key=abs) if v else float("nan")
        onsets = [e for m in r["marks"] for e in m["onset"]] or [float("nan")]
        print("%-11s | %-34s | %d-%d | %+.1f, %+.1f, %+.1f | %.0f-%.0f | %s | %s | %+.3f to %+.3f"
              % (r["profile"], delays, min(trips), max(trips), worst(by("publisher")), worst(by("marker")),
                 worst(by("true clock")), min(bounds), max(bounds), "yes" if held else "NO", "yes" if half else "NO",
                 min(onsets), max(onsets)))
        if r["profile"] == "loopback":
            worst_marker = max([abs(e) for m in r["marks"] for e in m["onset"] + m["counter"]] or [0])
            worst_offset = max(abs(x["error"]) for x in r["rows"])
            goals = worst_offset <= 1000 and worst_marker <= 2
            print("            loopback: worst offset error %.1f us (goal 1000); worst marker error %.3f ms (goal 2)"
                  % (worst_offset, worst_marker))
            ok = ok and goals
    return ok


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    profiles = sys.argv[3].split(",") if len(sys.argv) > 3 else ["loopback"] + list(delay_proxy.PROFILES)
    if any(p != "loopback" and p not in delay_proxy.PROFILES for p in profiles):
        sys.exit("profiles: loopback, " + ", ".join(delay_proxy.PROFILES))
    if FAKETIME is None or not shutil.which("mosquitto"):
        sys.exit("needs libfaketime (Debian faketime) and mosquitto")
    results = []
    for profile in profiles:
        folder, proxy = run_scene(build, seconds, profile)
        results.append(report(profile, folder, proxy))
    return 0 if summary(results) else 1


if __name__ == "__main__":
    sys.exit(main())
