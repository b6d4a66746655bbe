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
