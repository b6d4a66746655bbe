#!/usr/bin/env python3
"""Checks the packaged udev rule against the device trees vozi-sim builds.

udevadm test reads the real /sys only, so the rule is matched here the way
udev matches it, against a tree that vozi-sim --device-root lays out like
sysfs: the keys on the event device (KERNEL, SUBSYSTEM, DRIVER, ATTR) against
the tty itself, and the parent keys (KERNELS, SUBSYSTEMS, DRIVERS, ATTRS)
against one single device of its parent chain, all of them against the same
one. A key this check does not know is an error, never ignored.

For each simulated adapter the table below says whether the rule must apply;
where it applies, the port must go to the dialout group with mode 0660 and
the latency timer of the adapter's ftdi_sio port must be set to 1.

usage: check_udev_rule.py RULES_FILE VOZI_SIM
"""

import fnmatch
import os
import re
import subprocess
import sys
import tempfile
import time

# (serial number, USB vendor, usb-serial driver, the rule applies)
ADAPTERS = [
    ("ZOR12345", "0403", "ftdi_sio", True),
    ("D8001234", "0403", "ftdi_sio", True),
    ("FT9ABCDE", "0403", "ftdi_sio", False),   # another FTDI adapter
    ("XD800123", "0403", "ftdi_sio", False),   # D800 not at the start
    ("ZOR54321", "10c4", "cp210x", False),     # another maker's chip
]

TOKEN = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|-=|:=|=)\s*"((?:[^"\\]|\\.)*)"\s*(?:,|$)')
DEVICE_KEYS = {"KERNEL", "SUBSYSTEM", "DRIVER", "ATTR"}
PARENT_KEYS = {"KERNELS", "SUBSYSTEMS", "DRIVERS", "ATTRS"}
ASSIGN_KEYS = {"GROUP", "MODE", "OWNER", "ATTR", "SYMLINK", "ENV", "TAG", "RUN"}


def parse_rules(path):
    rules, pending = [], ""
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = pending + raw.rstrip("\n")
            if line.endswith("\\"):
                pending = line[:-1]
                continue
            pending = ""
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            tokens, pos = [], 0
            while pos < len(line):
                m = TOKEN.match(line, pos)
                if not m:
                    raise SystemExit(f"cannot read the rule at: {line[pos:]!r}")
                tokens.append(m.groups())
                pos = m.end()
            rules.append(tokens)
    return rules


def matches(value, pattern):
    value = "" if value is None else value
    return any(fnmatch.fnmatchcase(value, p) for p in pattern.split("|"))


class Device:
    """One folder of the tree, seen as udev sees a device."""

    def __init__(self, path, is_event_tty):
        self.path = path
        self.kernel = os.path.basename(path)
        driver = os.path.join(path, "driver")
        self.driver = os.path.basename(os.readlink(driver)) if os.path.islink(driver) else ""
        subsystem = os.path.join(path, "subsystem")
        if os.path.islink(subsystem):
            self.subsystem = os.path.basename(os.readlink(subsystem))
        elif is_event_tty:
            self.subsystem = "tty"
        elif self.driver:
            # .../sys/bus/<bus>/drivers/<driver>
            self.subsystem = os.readlink(driver).split("/")[-3]
        elif os.path.exists(os.path.join(path, "idVendor")) or \
                os.path.exists(os.path.join(path, "bInterfaceNumber")):
            self.subsystem = "usb"
        else:
            self.subsystem = ""

    def attr(self, name):
        try:
            with open(os.path.join(self.path, name), encoding="utf-8") as f:
                return f.read().rstrip()
        except OSError:
            return None

    def key(self, name, arg):
        base = name.rstrip("S") if name in PARENT_KEYS else name
        return {"KERNEL": self.kernel, "SUBSYSTEM": self.subsystem,
                "DRIVER": self.driver}.get(base) if base != "ATTR" else self.attr(arg)


def chain(root, tty):
    """The tty device and its parents up to sys/devices."""
    path = os.path.realpath(os.path.join(root, "sys/class/tty", tty))
    top = os.path.realpath(os.path.join(root, "sys/devices"))
    devices = [Device(path, True)]
    path = os.path.dirname(path)
    while path.startswith(top + "/"):
        if os.path.basename(path) != "tty":      # the class folder is no device
            devices.append(Device(path, False))
        path = os.path.dirname(path)
    return devices


def apply_rules(rules, devices):
    """The assignments of every rule that matches an "add" of devices[0]."""
    result = {}
    for tokens in rules:
        parent_tests, ok = [], True
        for name, arg, op, value in tokens:
            if op not in ("==", "!="):
                continue
            if name == "ACTION":
                ok &= matches("add", value) == (op == "==")
            elif name in DEVICE_KEYS:
                ok &= matches(devices[0].key(name, arg), value) == (op == "==")
            elif name in PARENT_KEYS:
                parent_tests.append((name, arg, op, value))
            else:
                raise SystemExit(f"the check does not know the key {name}")
        if ok and parent_tests:
            ok = any(all(matches(d.key(n, a), v) == (o == "==") for n, a, o, v in parent_tests)
                     for d in devices)
        if not ok:
            continue
        for name, arg, op, value in tokens:
            if op in ("==", "!="):
                continue
            if name not in ASSIGN_KEYS:
                raise SystemExit(f"the check does not know the key {name}")
            if name == "ATTR":
                # The device whose attribute is written.
                target = Device(os.path.realpath(os.path.join(devices[0].path, os.path.dirname(arg))), False)
                result[f"ATTR{{{os.path.basename(arg)}}}"] = (target.subsystem, target.driver, value)
            else:
                result[name] = value
    return result


def main():
    rules_file, sim = sys.argv[1], sys.argv[2]
    rules = parse_rules(rules_file)
    failures = 0
    with tempfile.TemporaryDirectory(prefix="vozi-udev-") as root:
        sims = []
        try:
            for serial, vendor, driver, _ in ADAPTERS:
                sims.append(subprocess.Popen(
                    [sim, "--device-root", root, "--serial", serial, "--vendor-id", vendor, "--driver", driver],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            class_dir = os.path.join(root, "sys/class/tty")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                if os.path.isdir(class_dir) and len(os.listdir(class_dir)) == len(ADAPTERS):
                    break
                time.sleep(0.05)
            ttys = sorted(os.listdir(class_dir)) if os.path.isdir(class_dir) else []
            if len(ttys) != len(ADAPTERS):
                raise SystemExit(f"vozi-sim presented {len(ttys)} ports, expected {len(ADAPTERS)}")
            by_serial = {}
            for tty in ttys:
                devices = chain(root, tty)
                serial = next((d.attr("serial") for d in devices if d.attr("serial")), None)
                by_serial[serial] = apply_rules(rules, devices)
            for serial, vendor, driver, applies in ADAPTERS:
                got = by_serial.get(serial)
                if applies:
                    want = {"GROUP": "dialout", "MODE": "0660",
                            "ATTR{latency_timer}": ("usb-serial", "ftdi_sio", "1")}
                    ok = got is not None and all(got.get(k) == v for k, v in want.items())
                else:
                    want, ok = {}, got == {}
                label = f"{serial} ({vendor}, {driver})"
                if ok:
                    print(f"udev: ok: {label}: {got or 'no rule applies'}")
                else:
                    print(f"udev: FAILED: {label}: got {got}, expected {want or 'no rule to apply'}")
                    failures += 1
        finally:
            for p in sims:
                p.terminate()
            for p in sims:
                p.wait(timeout=10)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
