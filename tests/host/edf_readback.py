#!/usr/bin/python3
"""vozi-host's EDF+ recording as an independent reader sees it.

Runs vozi-host against a simulated instrument with both --csv and --edf and
reads the EDF+ file with MNE-Python: channel names, units, sample rate, the
stream annotations and the samples must equal the CSV within one step of
each channel's scale. Exits 77 (skipped) when MNE is not installed.
"""
import os
import subprocess
import sys
import tempfile

try:
    import mne
except ImportError:
    print("MNE-Python is not installed (python3-mne)")
    sys.exit(77)

host = sys.argv[1]
with tempfile.TemporaryDirectory() as folder:
    csv_path = os.path.join(folder, "run.csv")
    edf_path = os.path.join(folder, "run.edf")
    run = subprocess.run([host, "--simulate", "acquire", "--period", "10000", "--samples", "250",
                          "--csv", csv_path, "--edf", edf_path],
                         env=dict(os.environ, TMPDIR=folder), capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr

    rows = [line.rstrip("\n").split(",") for line in open(csv_path) if not line.startswith("#")]
    header, rows = rows[0], rows[1:]
    assert len(rows) == 250, len(rows)
    labels = header[1:-1]  # "name (units)" between time_s and gap
    names = [label.split(" (")[0] for label in labels]
    units = [label.split(" (")[1].rstrip(")") for label in labels]

    raw = mne.io.read_raw_edf(edf_path, preload=True, verbose="error")
    assert raw.ch_names == names, (raw.ch_names, names)
    assert raw.info["sfreq"] == 100.0, raw.info["sfreq"]
    # MNE keeps only the units it knows; the header itself holds every one.
    with open(edf_path, "rb") as f:
        head = f.read(256 + 256 * (len(names) + 1))
    signals = int(head[252:256])
    dims = head[256 + signals * 96: 256 + signals * 104]
    file_units = [dims[8 * k: 8 * k + 8].decode().strip() for k in range(signals)]
    assert file_units[:len(units)] == units, (file_units, units)
    assert raw._orig_units["ECG"] == "mV", raw._orig_units

    # Physical values: MNE gives volts for voltage units.
    to_file_units = {"mV": 1e3, "uV": 1e6}
    data = raw.get_data()
    ranges = {"ECG": 10.0, "Pulse": 250.0, "Temp": 25.0, "Ramp": 10.0, "Counter": 32767.0}
    for k, name in enumerate(names):
        scale = to_file_units.get(units[k], 1.0)
        step = ranges[name] / 32767
        for n in range(250):
            got = data[k][n] * scale
            want = float(rows[n][k + 1])
            assert abs(got - want) <= step, (name, n, got, want)
    # The record's padding past the last sample is no data.
    descriptions = [a["description"] for a in raw.annotations]
    assert descriptions[0] == "stream start", descriptions
    assert "stream stop" in descriptions, descriptions
    stop = [a["onset"] for a in raw.annotations if a["description"] == "stream stop"][0]
    assert abs(stop - 2.5) < 1e-6, stop
print("EDF+ read back by MNE: names, units, 100 Hz, 250 samples within one step of the CSV")
