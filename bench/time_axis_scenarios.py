"""Scenarios that strain vozi-host's time axis, run for real.

Each scenario runs `vozi-host --simulate=N acquire` at 1 ms with CSV, EDF+
and SVG outputs while something goes wrong:
  silence   the instrument sends nothing for a while: it plays a recording
            (vozi-sim --play) whose rows skip that span, its counter column
            going on as if the samples had been sent
  stall     the tool itself is stopped (SIGSTOP, later SIGCONT): the
            instruments' lines pile up in the pseudo-terminals and the ring,
            and overflow it when the stall is long
  burst     the simulators are stopped instead: nothing is lost, and the
            lines they owe come all at once when they go on
  end-loss  samples are missing just before the end of the timed run, and
            the lines go on after it
  multi     several instruments at once, each with its own silences
Busy loops load the machine meanwhile; with `pin` the tool, its simulators
and the loops share one core, which is what a busy machine does to a tool at
its worst. Nothing here waits for a span of time except the stalls
themselves: the run waits for rows in the file and for the tool's exit.
"""
import glob
import os
import signal
import subprocess
import time
from dataclasses import dataclass, field

PERIOD_US = 1000


@dataclass
class Scenario:
    kind: str
    name: str
    seconds: float                 # the run's length of sample time
    instruments: int = 1
    # Per instrument, the spans (start_s, length_s) its played recording
    # leaves out; None: the simulator's own endless stream.
    silences: list = None
    stalls: list = field(default_factory=list)      # (at_s, length_s) of the tool
    sim_stalls: list = field(default_factory=list)  # (at_s, length_s) of the simulators
    pin: bool = False
    busy_loops: int = 2

    @property
    def limit(self):
        """The position the timed run stops before."""
        return round(self.seconds * 1e6 / PERIOD_US)

    @property
    def loses(self):
        """Whether every run loses samples: a silence of the instrument
        within the run. (A stalled tool need not: a simulator blocked on a
        full pseudo-terminal sends what it owes once it can, and the ring may
        take it all.)"""
        return bool(self.silences and any(start < self.seconds for spans in self.silences for start, _ in spans))


def write_recording(path, seconds, silences):
    """A vozi-host CSV of 1 ms samples from 0 to `seconds`, without the rows
    inside `silences`; its Counter column is each row's index."""
    # The played channel's range is its values' span, sent as 0..32767: the
    # counter comes back within half a count only while the span is below
    # 16384.
    assert seconds * 1e6 / PERIOD_US < 16384, seconds
    lines = ["# period: %d us, 1 ms" % PERIOD_US,
             "time_s,ECG (mV),Pulse (bpm),Temp (degC),Ramp (V),Counter (count),gap"]
    skipped = [(round(a * 1e6 / PERIOD_US), round((a + n) * 1e6 / PERIOD_US)) for a, n in silences]
    for k in range(round(seconds * 1e6 / PERIOD_US)):
        if any(a <= k < b for a, b in skipped):
            continue
        lines.append("%.6f,%.4f,%d,%.2f,%.3f,%d,0" % (k * PERIOD_US / 1e6, (k % 800) / 400.0 - 1.0,
                                                       60 + k % 7, 36.5 + (k % 10) / 100.0, (k % 1000) / 100.0, k))
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def write_simulator(path, sim, recordings):
    """A stand-in for vozi-sim that plays one recording per instrument.
    vozi-host starts each simulator as `SIM --device-root DIR --serial S`,
    S being ZOR12105, ZOR12115, ... for instruments 0, 1, ..."""
    cases = "".join("  ZOR12%d5) play=%s ;;\n" % (10 + k, r) for k, r in enumerate(recordings))
    with open(path, "w") as f:
        f.write("#!/bin/sh\ncase \"$4\" in\n%sesac\nexec %s \"$@\" --play=\"$play\"\n" % (cases, sim))
    os.chmod(path, 0o755)


def children(pid):
    """The processes `pid` started (its simulators)."""
    found = []
    for task in glob.glob("/proc/%d/task/*/children" % pid):
        try:
            found += [int(c) for c in open(task).read().split()]
        except OSError:
            pass
    return found


def busy(count, pin):
    prefix = ["taskset", "-c", pinned_core()] if pin else []
    return [subprocess.Popen(prefix + ["sh", "-c", "while :; do :; done"]) for _ in range(count)]


def pinned_core():
    return str(min(1, (os.cpu_count() or 1) - 1))


def simulator(host):
    """vozi-sim of the same build: beside vozi-host where installed, in its
    own folder in the build tree."""
    here = os.path.dirname(os.path.realpath(host))
    for sim in (os.path.join(here, "vozi-sim"), os.path.join(here, "..", "vozi-sim", "vozi-sim")):
        if os.path.exists(sim):
            return os.path.realpath(sim)
    raise RuntimeError("no vozi-sim beside %s" % host)


def output_names(folder, instruments, ext):
    if instruments == 1:
        return [os.path.join(folder, "s." + ext)]
    return [os.path.join(folder, "s-%d.%s" % (k, ext)) for k in range(instruments)]


def rows_in(path):
    try:
        with open(path) as f:
            return sum(1 for line in f if line[:1].isdigit())
    except OSError:
        return 0


def run(scenario, host, folder):
    """Runs the scenario in `folder` (emptied first); returns the tool's exit
    code, its output and the outputs' paths as [(csv, edf, svg)]."""
    for old in glob.glob(os.path.join(folder, "*")):
        if os.path.isfile(old):
            os.remove(old)
    command = [host, "--simulate=%d" % scenario.instruments]
    if scenario.silences is not None:
        recordings = []
        for k, spans in enumerate(scenario.silences):
            recordings.append(os.path.join(folder, "play-%d.csv" % k))
            # Rows on past the run's end: its last samples arrive, and the
            # stream ends on its limit, not because the lines stopped.
            write_recording(recordings[-1], scenario.seconds + 1.5, spans)
        wrapper = os.path.join(folder, "sim.sh")
        write_simulator(wrapper, simulator(host), recordings)
        command += ["--sim", wrapper]
    csv = os.path.join(folder, "s.csv")
    command += ["acquire", "--period", str(PERIOD_US), "--seconds", "%g" % scenario.seconds, "--allow-loss",
                "--csv", csv, "--edf", os.path.join(folder, "s.edf"), "--plot", os.path.join(folder, "s.svg")]
    if scenario.pin:
        command = ["taskset", "-c", pinned_core()] + command
    loops = busy(scenario.busy_loops, scenario.pin)
    p = None
    try:
        p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ, TMPDIR=folder))
        pauses = [(at, length, [p.pid]) for at, length in scenario.stalls]
        if scenario.sim_stalls:
            pauses += [(at, length, None) for at, length in scenario.sim_stalls]
        if pauses:
            pause(p, sorted(pauses, key=lambda x: x[0]), output_names(folder, scenario.instruments, "csv")[0])
        out, err = p.communicate(timeout=scenario.seconds + 120)
    finally:
        if p is not None and p.poll() is None:
            # Left running by a failure here: neither the tool nor its
            # simulators may outlive the run, stopped or not.
            for pid in children(p.pid) + [p.pid]:
                os.kill(pid, signal.SIGCONT)
                os.kill(pid, signal.SIGKILL)
            p.wait()
        for loop in loops:
            loop.kill()
            loop.wait()
    files = list(zip(*(output_names(folder, scenario.instruments, e) for e in ("csv", "edf", "svg"))))
    return p.returncode, out + err, files


def pause(p, pauses, first_csv):
    """Stops and continues the tool or its simulators at the pauses' times,
    counted from its first 500 rows (the stream is running by then)."""
    deadline = time.monotonic() + 60
    while rows_in(first_csv) < 500 and p.poll() is None:
        if time.monotonic() > deadline:
            raise RuntimeError("no rows in %s after 60 s" % first_csv)
        time.sleep(0.02)
    start = time.monotonic()
    for at, length, pids in pauses:
        while time.monotonic() - start < at:
            time.sleep(0.005)
        if p.poll() is not None:
            return
        targets = pids or children(p.pid)
        for pid in targets:
            os.kill(pid, signal.SIGSTOP)
        time.sleep(length)
        for pid in targets:
            os.kill(pid, signal.SIGCONT)


def catalogue():
    """Every scenario of the long mode, by kind."""
    silence = [Scenario("silence", "silence %g s, busy core" % n, 1.0 + n + 1.5, silences=[[(1.0, n)]], pin=True)
               for n in (0.5, 1.0, 2.5, 5.0)]
    stall = [Scenario("stall", "tool stalled %g s, 3 instruments" % n, 3.0 + n + 3.0, instruments=3,
                      stalls=[(1.0, n)]) for n in (1.5, 4.0)]
    stall.append(Scenario("stall", "tool stalled 1.5 s then 4 s, 3 instruments", 14.0, instruments=3,
                          stalls=[(3.0, 1.5), (7.0, 4.0)]))
    burst = [Scenario("burst", "simulators stopped %g s" % n, 5.0, instruments=k, sim_stalls=[(1.0, n)])
             for n, k in ((1.0, 1), (1.5, 3))]
    end = [Scenario("end-loss", "%g s lost before the end%s" % (n, ", busy core" if pin else ""), 3.0,
                    silences=[[(3.0 - n, n + 0.2)]], pin=pin) for n, pin in ((0.05, False), (0.3, False), (1.0, True))]
    multi = [Scenario("multi", "3 instruments, silences of 0.5, 1 and 2.5 s", 5.5, instruments=3,
                      silences=[[(1.0, 0.5)], [(1.5, 1.0)], [(2.0, 2.5)]]),
             Scenario("multi", "3 instruments, silences and a tool stalled 1.5 s", 7.0, instruments=3,
                      silences=[[(1.0, 0.5), (4.0, 1.0)], [(1.5, 2.5)], [(2.0, 1.0)]], stalls=[(4.5, 1.5)])]
    return silence + stall + burst + end + multi


def short_catalogue():
    """A few scenarios of each kind, for scripts/test."""
    names = ("silence 0.5 s, busy core", "silence 2.5 s, busy core", "tool stalled 1.5 s then 4 s, 3 instruments",
             "simulators stopped 1 s", "0.3 s lost before the end", "3 instruments, silences of 0.5, 1 and 2.5 s")
    return [s for s in catalogue() if s.name in names]

