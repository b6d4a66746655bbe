"""Vozi Scientific instruments from Python, through the Vozi device enabler
(libvozi.so).

    import vozi
    with vozi.simulate(), vozi.open(period=0.001) as dev:
        data = dev.read(seconds=1)          # float64 (samples, channels)
        print(dev.channels, data.mean(axis=0))
"""

from .errors import (DataLost, DriverMissing, Error, FirmwareRejected, NotFound,
                     NotResponding)
from .instrument import Channel, Instrument, InstrumentInfo, Loss, find, open
from .simulate import Simulation, simulate

__all__ = [
    "find", "open", "simulate", "Instrument", "InstrumentInfo", "Channel", "Loss",
    "Simulation", "Error", "NotFound", "DriverMissing", "FirmwareRejected", "NotResponding",
    "DataLost",
]
