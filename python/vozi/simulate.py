"""Simulated instruments (vozi-sim) in a temporary device tree, so that
everything runs without hardware."""

import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from . import _locate
from . import _session as S
from .errors import Error

# A simulator prints its pseudo-terminal and its tty name once its port is in
# the tree; until then the library could not find it. One playing a recording
# then describes it: "play: <lines> lines, longest silence <seconds> s".
_READY_LINES = 2
_PLAY_LINE = re.compile(r"play: (\d+) lines, longest silence ([0-9.]+) s(, looped)?$")
_READY_SECONDS = 10.0
_EXIT_GRACE_SECONDS = 3.0
_MAX_SIMULATORS = 16


def simulator_serial(k):
    """USB serial number of the k-th simulator: ZOR12<10+k>5. Like an FTDI
    adapter's it gains the interface letter A on the way, so the instrument's
    description reads 12105A, 12115A, ..."""
    return "ZOR12%d5" % (10 + k)


def _option(key, value):
    flag = "--" + key.replace("_", "-")
    if value is True:
        return [flag]
    if value is False:
        return [flag, "false"]
    if isinstance(value, (list, tuple)):
        value = ",".join(str(v) for v in value)
    # Separate words, so that an empty value (driver="") stays one.
    return [flag, str(value)]


class Simulation:
    """n vozi-sim instruments, each started with every setting given (see
    `vozi-sim --help`: firmware=2, hang_up_after=500, driver="", ...).
    serial="..." gives every simulator that adapter serial number instead of
    its own (a number not beginning with ZOR or D800 is no Vozi instrument).
    play="run.csv" makes each the instrument of that vozi-host recording (its
    channels, names, units, period, values and gaps; loop=True plays it again
    and again)."""

    def __init__(self, n=1, **settings):
        if not 0 <= n <= _MAX_SIMULATORS:
            raise ValueError("between 0 and %d simulators" % _MAX_SIMULATORS)
        self.count = n
        if settings.get("play") is not None:
            # The simulator reads it from wherever it runs.
            play = os.path.abspath(os.fspath(settings["play"]))
            if not os.path.isfile(play):
                raise FileNotFoundError("no recording to play: %s" % play)
            settings = dict(settings, play=play)
        self.settings = settings
        self.device_root = None
        self.serials = []
        # Played, its gaps are silences of the instrument: the longest, in
        # seconds, which a read waits out on top of its usual timeout.
        self.longest_silence = 0.0
        self._children = []
        self._previous_root = None
        self._started = False

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        if self._started:
            return self
        executable = _locate.simulator_path()
        if not executable or not os.path.isfile(executable):
            raise Error("vozi-sim not found (build it, or name it with VOZI_SIM)")
        self.device_root = tempfile.mkdtemp(prefix="vozi-sim-")
        self._previous_root = os.environ.get("VOZI_DEVICE_ROOT")
        self._started = True
        S.session.simulations.add(self)
        S.session.end_simulations_on_signals()
        settings = dict(self.settings)
        serial = settings.pop("serial", None)
        extra = [word for k, v in settings.items() for word in _option(k, v)]
        try:
            for k in range(self.count):
                self._launch(executable, serial or simulator_serial(k), extra)
        except BaseException:
            self.stop()
            raise
        # The library reads the variable at each discovery pass.
        os.environ["VOZI_DEVICE_ROOT"] = self.device_root
        return self

    def _launch(self, executable, serial, extra):
        args = [executable, "--device-root", self.device_root, "--serial", serial] + extra
        # Own process group: the terminal's Ctrl-C reaches Python alone, which
        # then closes its instruments before it ends the simulators.
        group = {"process_group": 0} if sys.version_info >= (3, 11) else {"start_new_session": True}
        # Its complaints go to a file in the tree, never to the caller's
        # standard error: that may be the caller's output too (2>&1), and a
        # simulator that outlived a killed Python would hold it open, so that
        # a reader such as `| tail` would never see its end.
        log_path = os.path.join(self.device_root, "%s.stderr" % serial)
        with open(log_path, "ab") as log:
            child = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=log, **group)
        self._children.append(child)
        seen = b""
        deadline = time.monotonic() + _READY_SECONDS
        plays = self.settings.get("play") is not None
        while seen.count(b"\n") < _READY_LINES + plays:
            left = deadline - time.monotonic()
            ready = select.select([child.stdout], [], [], max(0.0, left))[0] if left > 0 else []
            chunk = os.read(child.stdout.fileno(), 256) if ready else b""
            if not chunk:
                with open(log_path, "rb") as log:
                    said = (seen + log.read()).decode(errors="replace").strip()
                raise Error("simulator %s (%s) did not present its port%s"
                            % (serial, executable, ": " + said if said else ""))
            seen += chunk
        if plays:
            described = _PLAY_LINE.match(seen.decode(errors="replace").split("\n")[_READY_LINES].strip())
            if not described:
                raise Error("simulator %s (%s) did not describe the recording it plays: %s"
                            % (serial, executable, seen.decode(errors="replace").strip()))
            self.longest_silence = float(described.group(2))
        self.serials.append(serial)

    def stop(self):
        """Closes every open instrument (the library must let go of the ports
        first), then ends the simulators and removes the tree."""
        if not self._started:
            return
        self._started = False
        try:
            S.session.close_all()
        finally:
            for child in self._children:
                if child.poll() is None:
                    child.send_signal(signal.SIGTERM)
            deadline = time.monotonic() + _EXIT_GRACE_SECONDS
            for child in self._children:
                try:
                    child.wait(max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
                child.stdout.close()
            self._children = []
            self.serials = []
            if self._previous_root is None:
                os.environ.pop("VOZI_DEVICE_ROOT", None)
            else:
                os.environ["VOZI_DEVICE_ROOT"] = self._previous_root
            shutil.rmtree(self.device_root, ignore_errors=True)
            S.session.simulations.discard(self)
            if not S.session.simulations:
                S.session.leave_signals()


def simulate(n=1, **settings):
    """A context manager that starts n simulated instruments and points the
    library at them: ``with vozi.simulate(2, firmware=2): ...``, or one that
    plays a recording: ``with vozi.simulate(play="run.csv"): ...``."""
    return Simulation(n, **settings)
