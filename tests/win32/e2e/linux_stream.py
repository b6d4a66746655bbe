#!/usr/bin/env python3
"""The Linux half of the Windows end-to-end comparison.

Drives libvozi.so (loaded with ctypes, as a host loads it with dlopen) through
the same road as the Windows test host's streaming test, against vozi-sim with
the same settings, and writes the lines it read to the same two files:

  stream-counter.txt  200 lines with the counter channel (5) enabled
  stream-all.txt      200 lines with channels 1 to 5 enabled

The instrument is presented in a fake device tree (vozi-sim --device-root,
VOZI_DEVICE_ROOT) as the FTDI adapter ZOR12345A. run-e2e-tests compares the
files with the ones the Windows run wrote.

usage: linux_stream.py LIBVOZI VOZI_SIM OUT_DIR
"""
import ctypes
import os
import subprocess
import sys
import tempfile

LINES = 200
ENABLE_CHANNEL = 42
START_STREAM = 37
STOP_STREAM = 38


class CommandRecord(ctypes.Structure):
    # include/vozi_enabler.h, in this platform's layout.
    _fields_ = [
        ("reply", ctypes.c_char_p),
        ("replySize", ctypes.c_int32),
        ("reserved8", ctypes.c_int32),
        ("argument", ctypes.c_int32),
        ("reserved16", ctypes.c_int32),
        ("count", ctypes.c_int32),
        ("value", ctypes.c_float),
    ]


class Host:
    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        lib = self.lib
        lib.FindDevice.argtypes = [ctypes.POINTER(ctypes.c_int32)]
        lib.Initialise.argtypes = [ctypes.c_int32]
        lib.ReadLine.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32, ctypes.c_uint32]
        lib.DeviceCommand.argtypes = [ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(CommandRecord)]
        for name in ("FindDevice", "Initialise", "ReadLine", "DeviceCommand", "CloseAll"):
            getattr(lib, name).restype = ctypes.c_int32

    def command(self, index, code, argument=0):
        record = CommandRecord()
        record.argument = argument
        if self.lib.DeviceCommand(index, code, ctypes.byref(record)) != 1:
            raise RuntimeError(f"command {code} ({argument}) failed")

    def read_lines(self, index, count):
        lines = []
        buffer = ctypes.create_string_buffer(256)
        for _ in range(count):
            if self.lib.ReadLine(index, buffer, len(buffer), 2000) != 1:
                raise RuntimeError(f"ReadLine failed after {len(lines)} lines")
            lines.append(buffer.value.decode("ascii"))
        return lines


def stream(host, out_dir):
    index = ctypes.c_int32(-1)
    if host.lib.FindDevice(ctypes.byref(index)) != 1 or index.value != 0:
        raise RuntimeError("FindDevice did not find the simulated instrument")
    if host.lib.Initialise(index.value) != 1:
        raise RuntimeError("Initialise failed")
    host.command(0, ENABLE_CHANNEL, 5)
    host.command(0, START_STREAM)
    counter = host.read_lines(0, LINES)
    host.command(0, STOP_STREAM)
    for channel in range(1, 5):
        host.command(0, ENABLE_CHANNEL, channel)
    host.command(0, START_STREAM)
    every = host.read_lines(0, LINES)
    host.command(0, STOP_STREAM)
    host.lib.CloseAll()
    for name, lines in (("stream-counter.txt", counter), ("stream-all.txt", every)):
        with open(os.path.join(out_dir, name), "w", encoding="ascii") as out:
            out.write("".join(line + "\n" for line in lines))


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    library, sim_exe, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="vozi-e2e-linux.") as root:
        # Read by the library's device walk, so it must be set before it runs.
        os.environ["VOZI_DEVICE_ROOT"] = root
        sim = subprocess.Popen([sim_exe, "--device-root", root], stdout=subprocess.PIPE, text=True)
        try:
            if not sim.stdout.readline() or not sim.stdout.readline():
                raise RuntimeError("vozi-sim did not start")
            stream(Host(library), out_dir)
        finally:
            sim.terminate()
            sim.wait(timeout=10)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except RuntimeError as error:
        print(f"linux_stream: {error}", file=sys.stderr)
        sys.exit(1)
