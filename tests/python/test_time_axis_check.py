"""The time-axis checker of bench/time_axis_torture.py: each case is an
output vozi-host could write, right or wrong in one way, and the figures the
checker must give it. A checker that misses a fault here would pass the tool
with the same fault."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import time_axis_check as check  # noqa: E402
import time_axis_scenarios as scenarios  # noqa: E402


def stream(*spans):
    """Rows (position, counter, gap) of spans (first position, first
    counter, count, gap of the span's first row)."""
    rows = []
    for position, counter, count, gap in spans:
        rows += [(position + k, (counter + k) % check.COUNTER_MODULUS, gap if k == 0 else 0) for k in range(count)]
    return rows


@pytest.mark.parametrize("rows, expected", [
    # 500 samples missing, marked at the row after them.
    (stream((0, 0, 1000, 0), (1500, 1500, 500, 500)), dict(counted=1, jumps=1)),
    # The counter wraps at 32768: no jump.
    (stream((0, 32700, 200, 0)), dict()),
    # A silence whose rows were written at its start with no mark, the mark
    # coming 12 rows later on a row where nothing is missing.
    (stream((0, 0, 1000, 0), (1000, 3500, 12, 0), (3512, 3512, 100, 2500)),
     dict(counted=1, false_counted=1, unmarked=1, off=12, jumps=1)),
    # A mark 5 samples too large: every row after it off by 5.
    (stream((0, 0, 100, 0), (205, 200, 50, 105)), dict(counted=1, wrong_size=1, off=50, jumps=1)),
    # One sample too small: the rows stay within 2 samples.
    (stream((0, 0, 100, 0), (199, 200, 50, 99)), dict(counted=1, near_size=1, jumps=1)),
    # Two samples gone unnoticed.
    (stream((0, 0, 100, 0), (100, 102, 50, 0)), dict(small_unmarked=1)),
    # -1 where nothing is missing.
    (stream((0, 0, 100, 0), (100, 100, 50, -1)), dict(unknown=1, false_unknown=1)),
    # -1 at a real loss: the rows after it are early until a counted mark
    # puts them back on time ...
    (stream((0, 0, 100, 0), (100, 400, 50, -1), (750, 750, 50, 600)),
     dict(unknown=1, after_unknown=50, counted=1, jumps=2)),
    # ... and stay early when it does not.
    (stream((0, 0, 100, 0), (100, 400, 50, -1), (450, 750, 50, 300)),
     dict(unknown=1, after_unknown=50, counted=1, wrong_size=1, off=50, jumps=2)),
    # Five lines again: the counter goes back.
    (stream((0, 0, 100, 0), (100, 95, 50, 0)), dict(unmarked=1, off=50, jumps=1)),
])
def test_judge_finds_each_fault(rows, expected):
    t = check.judge(rows)
    got = {k: v for k, v in t.items() if k not in ("rows", "where") and v}
    assert got == expected, t["where"]
    assert t["rows"] == len(rows)
    assert check.faults(t) == sum(expected.get(k, 0) for k in check.FAULTS)


@pytest.mark.parametrize("said, missing, unmarked", [
    (None, 300, 1),   # nothing says the last 300 are gone
    (299, 300, 0),    # within 2
    (290, 300, 1),    # the wrong number
    (None, 2, 0),     # too few to be seen
])
def test_end_loss(said, missing, unmarked):
    # The counter starts at 32000 and wraps on the way.
    rows = stream((0, 32000, 3000 - missing, 0))
    t = check.end_loss(check.judge(rows), rows, 3000, said)
    assert (t["end_missing"], t["end_unmarked"]) == (missing, unmarked)


def test_csv_rows_and_closing_notes(tmp_path):
    path = tmp_path / "run.csv"
    path.write_text("# period: 1000 us, 1 ms (selected: ...)\n# gap: ...\n"
                    "time_s,ECG (mV),Counter (count),gap\n"
                    "0.000000,0.1,4.9,0\n0.001000,0.1,5.1,0\n0.005000,0.2,9.0,3\n"
                    "# end: 2.700000 s: 300 samples lost before the end\n")
    csv = check.CsvRecording(str(path))
    assert csv.rows == [(0, 5, 0), (1, 5, 0), (5, 9, 3)]
    assert (csv.end_count(), csv.broke_off()) == (300, None)
    path.write_text(path.read_text().replace("300 samples lost before the end", "x").replace(
        "# end: 2.7", "# end: the stream broke off after 3 samples, at 2.7"))
    csv = check.CsvRecording(str(path))
    assert csv.end_count() is None and csv.broke_off()


def test_edf_rows_skip_padding_and_read_marks():
    # Samples 0-4, 3 lost (padded with 0), 8-9, one lost unknown at 10, then
    # 2 lost at the end under the stop.
    counter = [0, 1, 2, 3, 4, 0, 0, 0, 8, 9, 20, 21, 0, 0]
    notes = [(0.0, 0.0, "stream start"), (0.005, 0.003, "BAD lost samples: 3"),
             (0.010, 0.0, "BAD lost samples: number unknown"), (0.012, 0.002, "BAD lost samples: 2"),
             (0.014, 0.0, "stream stop")]
    rows, said = check.edf_rows(counter, 1000.0, notes)
    assert rows == [(0, 0, 0), (1, 1, 0), (2, 2, 0), (3, 3, 0), (4, 4, 0), (8, 8, 3), (9, 9, 0),
                    (10, 20, -1), (11, 21, 0)]
    assert said == 2


def test_played_recording_leaves_out_its_silences(tmp_path):
    path = tmp_path / "play.csv"
    scenarios.write_recording(str(path), 3.0, [(1.0, 0.5), (2.9, 0.2)])
    rows = check.CsvRecording(str(path)).rows
    positions = [p for p, _, _ in rows]
    assert positions == list(range(1000)) + list(range(1500, 2900))
    assert all(p == v for p, v, _ in rows)


def test_svg_gap_marks(tmp_path):
    path = tmp_path / "plot.svg"
    path.write_text('<svg><line class="gap" x1="1"/><text>gap</text><line class="axis"/>'
                    '<line class="gap" x1="2"/></svg>')
    assert check.svg_gap_marks(str(path)) == 2


@pytest.mark.parametrize("serial, played", [("ZOR12105", "a.csv"), ("ZOR12115", "b.csv"), ("ZOR12125", "c.csv")])
def test_each_simulator_plays_its_own_recording(tmp_path, serial, played):
    # The stand-in must hand each instrument its recording and vozi-host's
    # arguments unchanged; `echo` shows what vozi-sim would be given.
    wrapper = tmp_path / "sim.sh"
    scenarios.write_simulator(str(wrapper), "/bin/echo", ["a.csv", "b.csv", "c.csv"])
    out = subprocess.run([str(wrapper), "--device-root", "/tmp/x", "--serial", serial, "--burst"],
                         capture_output=True, text=True, check=True).stdout
    assert out.split() == ["--device-root", "/tmp/x", "--serial", serial, "--burst", "--play=" + played]
