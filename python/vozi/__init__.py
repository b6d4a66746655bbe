"""Vozi Scientific instruments from Python, through the Vozi device enabler
(libvozi.so).

    import vozi
    with vozi.simulate(), vozi.open(period=0.001) as dev:
        data = dev.read(seconds=1)          # float64 (samples, channels)
        print(dev.channels, data.mean(axis=0))

    with vozi.subscribe("mqtt://lab-pc:1883") as dev:   # one published by vozi-host publish
        data = dev.read(seconds=1)

    vozi.mark("mqtt://lab-pc:1883", "stimulus 12 shown")   # into vozi-host record's session
"""

from .errors import (DataLost, DriverMissing, Error, FirmwareRejected, InstrumentLost, NotFound,
                     NotResponding, StreamChanged, StreamEnded)
from .instrument import Channel, Instrument, InstrumentInfo, Loss, find, open
from ._markers import Marker, mark
from .remote import RemoteLoss, Subscription, subscribe
from .simulate import Simulation, simulate

__all__ = [
    "find", "open", "simulate", "Instrument", "InstrumentInfo", "Channel", "Loss",
    "Simulation", "Error", "NotFound", "DriverMissing", "FirmwareRejected", "NotResponding",
    "DataLost", "subscribe", "Subscription", "RemoteLoss", "StreamEnded", "StreamChanged",
    "InstrumentLost", "Marker", "mark",
]
