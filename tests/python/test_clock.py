"""Clocks that disagree, through the real mosquitto on a free loopback port:
one publisher runs with its clock 2.5 s ahead (libfaketime), one as it is,
a marker sender 1.5 s behind; vozi-host record measures each and places the
streams and markers on its own clock. And the Python marker sender answers
clock exchanges, and nothing else."""

import glob
import json
import os
import signal
import subprocess

import pytest

import vozi
from test_subscribe import HOST, free_port, start_broker, wait_until

paho = pytest.importorskip("paho.mqtt.client")

FAKETIME = (glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + [None])[0]


def shifted(seconds):
    """The environment that runs a process with its clock `seconds` off
    (the monotonic clock left alone: the tool's timing loops use it)."""
    # After what is preloaded already: a sanitizer's runtime must come first.
    preload = " ".join(p for p in (os.environ.get("LD_PRELOAD", ""), FAKETIME) if p)
    return dict(os.environ, LD_PRELOAD=preload, FAKETIME="%+gs" % seconds, FAKETIME_DONT_FAKE_MONOTONIC="1")


def session(folder):
    try:
        with open(os.path.join(folder, "session.json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


@pytest.fixture
def broker(tmp_path):
    port = free_port()
    process = start_broker(tmp_path, "listener %d 127.0.0.1\nallow_anonymous true\n" % port, port)
    yield "mqtt://127.0.0.1:%d" % port
    process.terminate()
    process.wait(10)


def test_the_recorder_measures_each_senders_clock_and_places_markers_at_their_true_samples(broker, tmp_path):
    if not os.path.isfile(HOST):
        pytest.skip("vozi-host is not built beside this package")
    if FAKETIME is None:
        pytest.skip("libfaketime is not installed (Debian faketime, scripts/bootstrap)")
    mne = pytest.importorskip("mne")
    env = dict(os.environ, TMPDIR=str(tmp_path))
    out = str(tmp_path / "rec")
    with open(tmp_path / "rec.out", "w") as rec_out, open(tmp_path / "rec.err", "w") as rec_err:
        recorder = subprocess.Popen([HOST, "record", "--broker", broker, "--out", out], stdout=rec_out,
                                    stderr=rec_err, env=env)
    publishers = []
    try:
        wait_until(lambda: "recording " in (tmp_path / "rec.out").read_text())
        # Two publishers of different instruments: the first simulated one
        # 2.5 s ahead, the second simulated one on the true clock.
        ahead = dict(shifted(2.5), TMPDIR=str(tmp_path))
        for args, e in (([], ahead), (["--simulate=2", "publish", "--device", "1"], env)):
            command = [HOST] + (args or ["--simulate=1", "publish"]) + ["--broker", broker, "--seconds", "6"]
            publishers.append(subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                               env=e))
        wait_until(lambda: (session(out) or {}).get("streams") and len(session(out)["streams"]) == 2
                   and all(s["samples"] > 500 for s in session(out)["streams"]))
        # Markers from a third machine, its clock 1.5 s behind: each once
        # the recorder has the one before, so that they are spread out.
        behind = shifted(-1.5)
        for k in range(3):
            run = subprocess.run([HOST, "mark", "--broker", broker, "marker %d" % k], env=behind,
                                 capture_output=True, text=True, timeout=60)
            assert run.returncode == 0, run.stderr
            wait_until(lambda: len(session(out)["markers"]) == k + 1)
        for p in publishers:
            assert p.wait(60) == 0
        wait_until(lambda: len(session(out)["streams"]) == 2
                   and all(s["end"] is not None for s in session(out)["streams"]))
    finally:
        for p in publishers:
            if p.poll() is None:
                p.kill()
                p.wait()
        recorder.send_signal(signal.SIGINT)
        assert recorder.wait(30) == 0, (tmp_path / "rec.err").read_text()

    s = session(out)
    streams = {round(x["clock_offset_us"] / 1e6, 1): x for x in s["streams"]}
    assert sorted(streams) == [0.0, 2.5], s["streams"]
    assert abs(streams[2.5]["clock_offset_us"] - 2.5e6) < 20000
    assert abs(streams[0.0]["clock_offset_us"]) < 20000
    for x in s["streams"]:
        assert x["clock_measured"] and x["clock"]
        assert abs(x["started_us"] - x["start_utc_us"] - x["clock_offset_us"]) < 2
    clocks = {c["clock"]: c for c in s["clocks"]}
    for x in s["streams"] + s["markers"]:
        assert clocks[x["clock"]]["estimate"] is not None
        assert clocks[x["clock"]]["exchanges"]
    assert len(s["markers"]) == 3
    for m in s["markers"]:
        assert m["clock_measured"] and abs(m["clock_offset_us"] + 1.5e6) < 20000, m

    # Each marker at the sample that was current at its true time, in both
    # files: the true time is the sender's clock + 1.5 s; a sample's true
    # time its publisher's stream start (on its clock) - its shift +
    # position x period. The Counter channel counts the positions.
    for shift, x in streams.items():
        edf = [f for f in x["files"] if f.endswith(".edf")][0]
        raw = mne.io.read_raw_edf(os.path.join(out, edf), preload=True, verbose="error")
        onsets = dict(zip(raw.annotations.description, raw.annotations.onset))
        period = x["period_us"] / 1e6
        counter = raw.get_data(picks=["Counter"])[0]
        for m in s["markers"]:
            true_us = m["sender_time_utc_us"] + 1.5e6
            position = (true_us + shift * 1e6 - x["started_us"]) / x["period_us"]
            onset = onsets[m["text"]] - onsets["stream start"]
            assert abs(onset - (position - x["first_position"]) * period) < 0.02, (shift, m["text"])
            sample = int(round(onset / period))
            assert abs(counter[sample] - position % 32768) < 20, (shift, m["text"])


def test_a_marker_sender_answers_clock_requests_on_its_own_topic_only(broker):
    port = int(broker.rsplit(":", 1)[1])
    replies, subscribed = [], []
    asker = paho.Client()
    asker.on_message = lambda c, u, m: replies.append((m.topic, m.payload, vozi._markers._now_us()))
    asker.on_subscribe = lambda c, u, mid, qos: subscribed.append(mid)
    asker.connect("127.0.0.1", port)
    asker.loop_start()
    try:
        asker.subscribe("lab/#", qos=0)
        wait_until(lambda: subscribed)
        with vozi.Marker(broker, prefix="lab", sender="task PC") as marker:
            name = marker.clock
            request = "lab/clock/%s/request" % name
            base = "lab/clock/%s/reply/" % name
            hostile = [
                b"not json",
                json.dumps({"t1": 5, "reply": "lab/42/info"}).encode(),      # somewhere else
                json.dumps({"t1": 5, "reply": base + "+"}).encode(),        # a wildcard
                json.dumps({"t1": 5, "reply": base}).encode(),              # no level of its own
                json.dumps({"t1": 5, "reply": base + "a//b"}).encode(),     # an empty level
                json.dumps({"t1": 5.5, "reply": base + "r"}).encode(),
                json.dumps({"t1": -1, "reply": base + "r"}).encode(),
                json.dumps({"t1": 5, "reply": base + "r", "pad": "x" * 2000}).encode(),
                json.dumps({"t1": [5], "reply": base + "r"}).encode(),
            ]
            for payload in hostile:
                asker.publish(request, payload, qos=0)
            t1 = vozi._markers._now_us()
            asker.publish(request, json.dumps({"t1": t1, "reply": base + "asker"}), qos=0)
            wait_until(lambda: any(t == base + "asker" for t, _, _ in replies))
            sent = marker.mark("trial 1")
            assert sent["clock"] == name and sent["sender"] == "task PC"
            assert marker.clock_requests_answered == 1
        topic, payload, t4 = [r for r in replies if r[0] == base + "asker"][0]
        reply = json.loads(payload)
        assert reply["t1"] == t1 and t1 <= reply["t2"] <= reply["t3"] <= t4
        # Nothing answered the hostile requests, anywhere.
        assert [r[0] for r in replies if r[0] not in (request, "lab/markers")] == [base + "asker"]
    finally:
        asker.loop_stop()
        asker.disconnect()
