"""The exceptions of the vozi package.

Every failure the library can explain carries the library's own message
text (``str(error)``), unchanged, so that it reads as it does in any other
host."""


class Error(Exception):
    """A failure of the Vozi enabler or of this package's use of it.

    ``library_message`` is the library's own text when it explains the
    failure (``str(error)`` then contains it), else None."""

    def __init__(self, message, library_message=None):
        super().__init__(message)
        self.library_message = library_message


class NotFound(Error):
    """No Vozi instrument was found (or not the one asked for)."""


class DriverMissing(Error):
    """The USB-serial driver the instruments need is missing or cannot be loaded."""


class FirmwareRejected(Error):
    """The instrument's firmware number differs from the one required."""


class NotResponding(Error):
    """The instrument does not answer, or stopped sending data.

    When it happens during a read, ``data`` holds the samples that did arrive
    before it (an array with fewer rows than asked for)."""

    def __init__(self, message, library_message=None, data=None):
        super().__init__(message, library_message)
        self.data = data


class StreamEnded(Error):
    """A published stream ended (its publisher stopped it): the read that
    reaches the end raises it, and so does every later read until a new
    stream begins. ``data`` holds the rows of the ended stream that this read
    took (possibly none); ``reason`` is the publisher's word for the end."""

    def __init__(self, message, data=None, reason=None):
        super().__init__(message)
        self.data = data
        self.reason = reason


class InstrumentLost(StreamEnded, NotResponding):
    """A published instrument was lost (unplugged, stopped answering);
    ``reason`` is the publisher's sentence."""


class StreamChanged(Error):
    """A new stream began on a published instrument (its publisher started
    it again, or now streams other channels). Raised once, by the read that
    reaches the boundary; ``data`` holds the rows of the old stream this read
    took (possibly none). The next read reads the new stream, whose channels
    and period the subscription now has; ``info`` is its info."""

    def __init__(self, message, data=None, info=None):
        super().__init__(message)
        self.data = data
        self.info = info


class DataLost(UserWarning):
    """Warned when a read finds that samples were lost (see ``Instrument.lost``)."""


def from_library_message(message, fallback=Error):
    """The exception class for one of the library's messages."""
    text = message.lower()
    if "cannot be found" in text:
        return NotFound
    if "driver" in text:
        return DriverMissing
    if "firmware" in text:
        return FirmwareRejected
    if "not responding" in text:
        return NotResponding
    return fallback
