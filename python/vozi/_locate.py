"""Where the package finds libvozi.so and vozi-sim.

The package lives in one of three layouts:
  build tree     build/<preset>/python/vozi   -> build/<preset>/libvozi.so,
                                                 build/<preset>/tools/vozi-sim/vozi-sim
  installation   DIR/lib/python3/dist-packages/vozi -> DIR/lib/libvozi.so, DIR/bin/vozi-sim
  Debian package /usr/lib/python3/dist-packages/vozi -> /usr/lib/vozi/libvozi.so,
                                                 /usr/lib/vozi/vozi-sim
VOZI_LIBRARY and VOZI_SIM name other files."""

import os
import shutil

_HERE = os.path.dirname(os.path.abspath(__file__))


def _first(candidates):
    for path in candidates:
        if os.path.isfile(path):
            return os.path.normpath(path)
    return None


def library_path():
    env = os.environ.get("VOZI_LIBRARY")
    if env:
        return env
    found = _first([
        os.path.join(_HERE, "libvozi.so"),
        os.path.join(_HERE, "..", "..", "libvozi.so"),
        os.path.join(_HERE, "..", "..", "..", "libvozi.so"),
        os.path.join(_HERE, "..", "..", "..", "vozi", "libvozi.so"),
    ])
    # Otherwise the dynamic loader's own search (LD_LIBRARY_PATH, ldconfig).
    return found or "libvozi.so"


def simulator_path():
    env = os.environ.get("VOZI_SIM")
    if env:
        return env
    found = _first([
        os.path.join(_HERE, "..", "..", "tools", "vozi-sim", "vozi-sim"),
        os.path.join(_HERE, "..", "..", "..", "..", "bin", "vozi-sim"),
        os.path.join(_HERE, "..", "..", "..", "vozi", "vozi-sim"),
    ])
    return found or shutil.which("vozi-sim")
