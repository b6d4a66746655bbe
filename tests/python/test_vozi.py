"""The vozi package against simulated instruments (vozi-sim), through the
real libvozi.so. Run with PYTHONPATH=build/<preset>/python (scripts/test)."""

import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

import numpy as np
import pytest

import vozi
from vozi import _vozi

# vozi-sim's default instrument: channels 1..5 with their ranges and
# waveforms, a cycle of 1000 samples.
SIM_CHANNELS = [
    (1, "ECG", "mV", -5.0, 5.0),
    (2, "Pulse", "bpm", 0.0, 250.0),
    (3, "Temp", "degC", 20.0, 45.0),
    (4, "Ramp", "V", 0.0, 10.0),
    (5, "Counter", "count", 0.0, 32767.0),
]
WAVE_PERIOD = 1000


def sim_value(channel, n):
    """The value vozi-sim sends on a channel for sample n."""
    _, _, _, low, high = SIM_CHANNELS[channel - 1]
    span, mid, phase = high - low, (low + high) / 2, n % WAVE_PERIOD
    return {
        1: mid + 0.4 * span * math.sin(2 * math.pi * phase / WAVE_PERIOD),
        2: low + (0.25 if phase < WAVE_PERIOD // 2 else 0.75) * span,
        3: mid,
        4: low + span * phase / WAVE_PERIOD,
        5: low + n % (int(span) + 1),
    }[channel]


def test_find_and_open_by_index_and_by_unique_id():
    with vozi.simulate(3):
        found = vozi.find()
        assert [f.index for f in found] == [0, 1, 2]
        assert len({f.unique_id for f in found}) == 3
        # Each way of choosing must start that instrument and no other one.
        with vozi.open(1) as by_index, vozi.open(unique_id=found[2].unique_id) as by_id:
            assert (by_index.index, by_index.description) == (1, "12115A")
            assert (by_id.index, by_id.description) == (2, "12125A")
            assert by_id.unique_id == found[2].unique_id
            assert by_index.read(5).shape == by_id.read(5).shape == (5, 5)
            # With instruments open the library cannot look again: the last
            # pass's list is kept.
            assert vozi.find() == found
        with pytest.raises(vozi.NotFound):
            vozi.open(7)


@pytest.mark.parametrize("period, channels, columns", [(None, None, [1, 2, 3, 4, 5]),
                                                       (0.001, ["Counter", 1], [1, 5])])
def test_read_gives_the_simulators_waveforms_in_physical_units(period, channels, columns):
    # Left at 5 s by an earlier host: without a period open() still selects
    # the first offered, 1 ms (at 5 s the reads would time out).
    with vozi.simulate(periods=[0.001, 5], start_period=2), \
            vozi.open(period=period, channels=channels) as dev:
        assert dev.channels == [vozi.Channel(*SIM_CHANNELS[c - 1]) for c in columns]
        assert (dev.model, dev.firmware, dev.period, dev.period_assumed) == ("VZ-8", "1", 0.001, False)
        first = dev.read(1500)
        raw = dev.read_raw(20)
        chunks = [next(dev.stream(chunk=30)) for _ in range(2)]
        assert first.dtype == np.float64 and raw.dtype == np.int32
        assert first.shape == (1500, len(columns)) and raw.shape == (20, len(columns))
        # The counter channel numbers the samples: no sample may go missing
        # or repeat between reads, whichever kind.
        counter = columns.index(5)
        n = np.concatenate([first[:, counter], raw[:, counter],
                            *(c[:, counter] for c in chunks)]).round().astype(int)
        assert (np.diff(n) == 1).all(), "samples lost or repeated between reads"
        steps = np.array([c.step for c in dev.channels])
        expected = np.array([[sim_value(c, k) for c in columns] for k in n[:1500]])
        worst = (np.abs(first - expected) / steps).max()
        assert worst <= 1.0, "%.2f scale steps off the simulator's waveform" % worst
        assert dev.lost.dropped == 0


def test_every_read_after_lines_the_ring_refused_counts_them_and_warns():
    # A bursting instrument fills the library's ring between reads, again and
    # again. A jump of the counter channel shows where lines were refused;
    # the read that took the text before them, or the next, must count and
    # warn (each jump may be the first line after refusals its read found).
    with vozi.simulate(burst=True), vozi.open(period=0.001) as dev:
        jumpy, warned, rows, previous = [], [], 0, []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            while len(jumpy) < 5 and len(warned) < 100:
                before = len(caught)
                data = dev.read()
                rows += len(data)
                n = np.concatenate([previous, data[:, 4].round()]).astype(int)
                if ((np.diff(n) - 1) % 32768 != 0).any():
                    jumpy.append(len(warned))
                warned.append(any(issubclass(w.category, vozi.DataLost) for w in caught[before:]))
                previous = n[-1:]
                time.sleep(0.1)  # the instrument overfills the ring meanwhile
        assert len(jumpy) == 5, "the ring never refused lines"
        unwarned = [k for k in jumpy if not (warned[k] or (k and warned[k - 1]))]
        assert not unwarned, "reads %s follow refused lines without a warning" % unwarned
        lost = dev.lost
        assert lost.ring_overflows >= len(jumpy) // 2 and lost.converted >= rows
        # Far more lines than the period allows: the clock cannot size what
        # the ring refused, so each refusal counts as one unsized loss.
        assert (lost.missing, lost.unsized) == (0, lost.ring_overflows)
        assert any("faster than its period" in str(w.message) for w in caught)


def test_samples_that_never_arrived_are_counted_from_the_clock_after_the_backlog():
    # A paced instrument read after stalls longer than the ring holds (about
    # 2.2 s of five channels at 1 kHz): the ring refuses lines at its tail, so
    # each read takes the backlog first and the loss shows as a jump of the
    # counter just after it. The count must equal those jumps, read by read.
    with vozi.simulate(), vozi.open(period=0.001) as dev:
        counter = [dev.read_raw()[:, 4]]
        booked = []
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for _ in range(2):
                time.sleep(3)  # the stall itself, not a wait for a condition
                counter.append(dev.read_raw(2700)[:, 4])
                booked.append(dev.lost.missing)
        # A short line may slip into the nearly full ring: one stall's loss
        # can show as several jumps, all before the end of its read.
        jumps = (np.diff(np.concatenate(counter).astype(int)) - 1) % 32768
        ends = np.cumsum([len(c) for c in counter])[1:] - 1
        truth = [jumps[:end].sum() for end in ends]
        assert truth[0] > 300 and truth[1] > truth[0] + 300, "the stalls lost no lines"
        # The estimate comes from the host's clock: a few samples of jitter.
        np.testing.assert_allclose(booked, truth, atol=25)
        assert dev.lost.gaps == 2 and dev.lost.dropped == dev.lost.missing
        assert sum(issubclass(w.category, vozi.DataLost) for w in caught) == 2


def test_reads_that_could_never_end_or_never_wait_are_refused():
    nan, inf = float("nan"), float("inf")
    with vozi.simulate():
        for period in (nan, inf):
            with pytest.raises(ValueError):
                vozi.open(period=period)
    with vozi.simulate(), vozi.open(period=0.001) as dev:
        # A NaN time-out never expires (on a silent instrument the read would
        # wait for ever); empty chunks would be yielded in a busy loop.
        for call in (lambda: dev.read(timeout=nan), lambda: dev.read_raw(seconds=nan),
                     lambda: dev.read(seconds=inf), lambda: dev.stream(timeout=nan),
                     lambda: dev.stream(chunk=0)):
            with pytest.raises(ValueError):
                call()
        assert dev.read(1, timeout=inf).shape == (1, 5)


def test_a_read_waiting_for_samples_sleeps_instead_of_spinning():
    # 10 samples a second: nearly all of the read is spent waiting.
    with vozi.simulate(), vozi.open(period=0.1) as dev:
        dev.read(1)
        cpu, wall = time.process_time(), time.monotonic()
        assert dev.read(6).shape == (6, 5)
        cpu, wall = time.process_time() - cpu, time.monotonic() - wall
        assert wall >= 0.4
        assert cpu < 0.25 * wall, "%.2f s of CPU in a %.2f s read" % (cpu, wall)


def test_physical_values_equal_those_vozi_host_writes(tmp_path):
    host = os.path.join(os.path.dirname(vozi.__file__), "..", "..", "tools", "vozi-host", "vozi-host")
    if not os.path.isfile(host):
        pytest.skip("vozi-host is not built beside this package")
    csv = tmp_path / "run.csv"
    subprocess.run([host, "--simulate", "acquire", "--period", "1000", "--samples", "400",
                    "--csv", str(csv)], check=True, capture_output=True, timeout=120)
    # The tool's CSV: "# key: value" lines, the column names, then rows of
    # time, the channels and the gap column.
    rows = [line for line in csv.read_text().splitlines() if not line.startswith("#")][1:]
    table = np.array([[float(v) for v in row.split(",")] for row in rows])
    assert (table[:, -1] == 0).all(), "no gap in a simulated run"
    written = table[:, 1:-1]
    with vozi.simulate(), vozi.open(period=0.001) as dev:
        read = dev.read(400)
    # Both streams start at sample 0; the CSV holds seven significant digits.
    np.testing.assert_allclose(read, written, rtol=1e-6, atol=1e-12)


@pytest.mark.parametrize("n, settings, error, text", [
    (1, {"serial": "FTX12345"}, vozi.NotFound,
     "The Vozi Device cannot be found.\nPlease plug in your Vozi Device and restart Kymora."),
    (1, {"driver": ""}, vozi.DriverMissing,
     "The Vozi Device driver is not installed.\nPlease plug in your Vozi Device and restart Kymora."
     "\n\nRefer to the Vozi Device Enabler Installation Guide\nif you continue to see this message."),
    (1, {"firmware": 2}, vozi.FirmwareRejected,
     "A Vozi Device is connected, but can't be used due\nto wrong firmware version. Please contact"
     " Vozi\nScientific Corporation for a firmware update."),
    (1, {"hang_up_after": 300}, vozi.NotResponding,
     "The Vozi Device is not responding or powered off."),
])
def test_each_staged_failure_raises_its_exception_with_the_librarys_text(n, settings, error, text):
    with vozi.simulate(n, **settings):
        with pytest.raises(error) as e:
            with vozi.open() as dev:
                dev.read(5000)
        assert e.value.library_message == text
        assert text in str(e.value)
        if error is vozi.NotResponding:
            # The samples that did arrive are not thrown away (the last few
            # may die with the simulator's terminal).
            data = e.value.data
            assert 250 <= len(data) <= 300 and data.shape[1] == 5
            assert (data[:, 4].round() == np.arange(len(data))).all()


def _child(script, **kwargs):
    streams = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    streams.update(kwargs)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], **streams)


def test_a_process_that_never_closes_its_instrument_exits_0():
    with vozi.simulate():
        child = _child("""
            import vozi
            dev = vozi.open()
            print(len(dev.read(200)), flush=True)
            # neither close() nor a with-block: the interpreter's exit must do it
        """)
        out, err = child.communicate(timeout=60)
        assert (child.returncode, out.strip()) == (0, "200"), err
        # The instrument went back with the process: it can be started again.
        with vozi.open() as dev:
            assert len(dev.read(10)) == 10


def test_ctrl_c_interrupts_a_read():
    with vozi.simulate():
        child = _child("""
            import signal, sys, vozi
            signal.signal(signal.SIGINT, signal.default_int_handler)
            dev = vozi.open()
            print("reading", flush=True)
            try:
                dev.read(10**9)  # days at the simulator's rate
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """)
        assert child.stdout.readline().strip() == "reading"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        try:
            out, err = child.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            child.kill()
            pytest.fail("read() ignored Ctrl-C")
        assert (child.returncode, out.strip()) == (0, "interrupted"), err
        assert time.monotonic() - sent < 10


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGKILL])
def test_a_killed_process_leaves_no_simulator_holding_its_output(signum):
    # Output and errors in one pipe, as `2>&1 | tail` has them: the pipe must
    # end with the process. SIGTERM also ends the simulators and removes
    # their tree; after SIGKILL nothing can, but they hold nothing of ours.
    child = _child("""
        import vozi
        sim = vozi.simulate().start()
        dev = vozi.open()
        print(sim.device_root, *(c.pid for c in sim._children), flush=True)
        dev.read(10**9)
    """, stderr=subprocess.STDOUT)
    root, *pids = child.stdout.readline().split() or ["?"]
    try:
        assert pids, "the child did not start its simulator"
        child.send_signal(signum)
        try:
            child.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            child.kill()
            pytest.fail("the output stayed open after the process ended")
        assert child.returncode == -signum
        if signum == signal.SIGTERM:
            for pid in pids:
                with pytest.raises(ProcessLookupError):
                    os.kill(int(pid), 0)
            assert not os.path.exists(root)
    finally:
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except ProcessLookupError:
                pass
        if root.startswith(tempfile.gettempdir()):
            shutil.rmtree(root, ignore_errors=True)


def test_converter_gives_the_same_rows_however_the_text_is_cut():
    # Columns: a range, no range (the integer is the value), a flat range.
    minima, maxima = [-5.0, None, 2.0], [5.0, None, 2.0]
    lines = [
        (b"@ 0,-12,7\n", [-5.0, -12.0, 2.0]),
        (b"@ 32767,5,1,\n", [5.0, 5.0, 2.0]),   # one trailing comma belongs to the format
        (b"@ 16384,-2147483648,0\n", [16384 / 32767 * 10 - 5, -2147483648.0, 2.0]),
        (b"12,3,4\n", "no_prefix"),
        (b"@ 1,2\n", "wrong_count"),
        (b"@ 1,2,3,4\n", "wrong_count"),
        (b"@ 1,2,3,,\n", "wrong_count"),
        (b"@ 1,x,3\n", "bad_value"),
        (b"@ 1,,3\n", "bad_value"),
        (b"@ 40000,1,1\n", "bad_value"),        # a scaled value beyond 0..32767
    ]
    text = b"".join(t for t, _ in lines)
    rows = [r for _, r in lines if isinstance(r, list)]
    kinds = [r for _, r in lines if isinstance(r, str)]
    for cut in range(len(text) + 1):
        conv = _vozi.Converter(minima, maxima)
        conv.feed(text[:cut])
        conv.feed(text[cut:])
        got = conv.take()
        assert got.tolist() == rows, "cut at %d" % cut
        counts = conv.counts
        assert counts["samples"] == len(rows) and counts["malformed"] == len(kinds)
        assert all(counts[k] == kinds.count(k) for k in set(kinds))


def test_a_played_recording_is_an_instrument_with_its_channels_and_values(tmp_path):
    # Two channels at 2 ms, a constant one among them, and a gap of 5 samples.
    t = np.arange(300)
    t = t[(t < 100) | (t >= 105)]
    values = np.column_stack([np.sin(t / 17.0) * 3.25, np.full(len(t), 36.6)])
    rows = ["%.6f,%.7g,%.7g,%d" % (n * 0.002, a, b, 5 if n == 105 else 0) for n, (a, b) in zip(t, values)]
    csv = tmp_path / "run.csv"
    csv.write_text("# vozi-host: 1.1.2\n# firmware: 1.1.0.1\n# period: 2000 us, 2 ms\n"
                   "time_s,Wave (mV),Temp (degC),gap\n" + "\n".join(rows) + "\n")
    with vozi.simulate(play=csv), vozi.open(period=0.002) as dev:
        assert [(c.name, c.units) for c in dev.channels] == [("Wave", "mV"), ("Temp", "degC")]
        read = dev.read(len(t))
    steps = np.array([c.step for c in dev.channels])
    assert (np.abs(read - values) <= steps).all(), np.abs(read - values).max(axis=0)


def test_a_played_recording_with_a_gap_longer_than_the_timeout_is_read_across_it(tmp_path):
    # 2 ms: 100 rows, then 4 s without any (the default timeout is 3 s), then
    # 200 more. The simulation says how long the instrument will be silent.
    t = np.concatenate([np.arange(100), np.arange(2100, 2300)])
    values = np.sin(t / 17.0)[:, None] * 3.25
    rows = ["%.6f,%.7g,%d" % (n * 0.002, v, 2000 if n == 2100 else 0) for n, v in zip(t, values[:, 0])]
    csv = tmp_path / "run.csv"
    csv.write_text("# period: 2000 us, 2 ms\ntime_s,Wave (mV),gap\n" + "\n".join(rows) + "\n")
    with vozi.simulate(play=csv) as sim, vozi.open(period=0.002) as dev:
        assert sim.longest_silence == pytest.approx(4.002)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", vozi.DataLost)
            read = dev.read(len(t))
        lost = dev.lost
    # Every row, in order, and the gap seen as samples missing (how many is
    # the arrival clock's estimate, and that is not what is checked here).
    assert (np.abs(read - values) <= dev.channels[0].step).all()
    assert lost.missing > 0, lost
