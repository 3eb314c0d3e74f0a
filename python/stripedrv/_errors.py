"""The exceptions of stripedrv: one class per kind of failure, chosen by the
driver's status code."""

import errno
import os
from typing import Dict, Optional, Tuple, Type

from . import _stripedrv


class StripeError(Exception):
    """A reader call failed.

    ``code`` is the driver's status code (negative, or the reader's error
    byte 48..57 / 20..23 for a refused swipe); ``message`` is the English
    sentence that ``stripectl`` prints for it, which is also ``str(error)``.
    """

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code
        self.message = message

    def __repr__(self) -> str:
        return f"{type(self).__name__}(code={self.code}, message={self.message!r})"


class StatusError(StripeError):
    """-1: the reader gave no status answer, or one the driver does not know."""


class Timeout(StripeError, TimeoutError):
    """-2: no card within the time limit, or the reader stopped answering."""


class PortError(StripeError, OSError):
    """-3: the port cannot be opened (or the reader answered the status "rs").

    Raised by :class:`Reader` itself for a port whose device does not exist,
    and by a call whose line could not be opened. ``port`` is the device
    path; ``strerror`` is the system's reason ("No such file or directory",
    "Permission denied"), ``errno`` its number, both "" and None when the
    system sees nothing wrong with the device (the status "rs", a line that
    cannot be set up). ``message`` is the sentence ``stripectl`` prints;
    ``str(error)`` adds the port, the system's reason and, as stripectl
    does, where to look next: ``stripectl doctor``.
    """

    def __init__(self, code: int, message: str, port: str = "", strerror: str = "",
                 errno: Optional[int] = None) -> None:
        super().__init__(code, message)
        self.port = port
        self.filename = port
        self.strerror = strerror
        # None when the system sees no fault, as in OSError itself. Set by
        # name: older typeshed declares it int, newer int | None, and no one
        # "type: ignore" satisfies the mypy of Debian 12 and of Debian 13.
        setattr(self, "errno", errno)

    def __str__(self) -> str:
        where = f": {self.port}" if self.port else ""
        why = f": {self.strerror}" if self.strerror else ""
        return f"{self.message}{where}{why}. {_stripedrv.doctor_hint()}"


class OperationFailed(StripeError):
    """-4, -5: the reader answered the status "rt" or "rq"."""


class InvalidArgument(StripeError, ValueError):
    """-6, -7: the driver refused the track mode or the texts; nothing was sent."""


class DataError(StripeError):
    """-8: the reader's identity answer is malformed."""


class WriteError(StripeError):
    """-10: a command could not be sent completely to the reader."""


class Cancelled(StripeError):
    """-11: the call was cut short by :func:`stripedrv.cancel`."""


class ReaderBusy(StripeError):
    """-12: another program holds the reader.

    ``holders`` names it as ``stripectl`` does ("cardtest (pid 812, locked)"),
    "" when it cannot be seen; the message ends with it.
    """

    def __init__(self, code: int, message: str, holders: str = "") -> None:
        super().__init__(code, message)
        self.holders = holders


class ReaderRefused(StripeError):
    """48..57, 20..23: the reader refused the swipe with an error byte
    ("0".."9", "A".."D"); ``error_byte`` is that character."""

    @property
    def error_byte(self) -> str:
        """The reader's error character."""
        if 48 <= self.code <= 57:
            return chr(ord("0") + self.code - 48)
        return chr(ord("A") + self.code - 20)


class VerifyMismatch(StripeError):
    """A written card read back differently (``code`` is 0: both calls
    succeeded). ``written`` and ``read`` hold the two pairs of texts."""

    def __init__(self, message: str, written: Tuple[str, str],
                 read: Tuple[Optional[str], Optional[str]]) -> None:
        super().__init__(0, message)
        self.written = written
        self.read = read


_CLASS_OF_CODE: Dict[int, Type[StripeError]] = {
    -1: StatusError, -2: Timeout, -3: PortError, -4: OperationFailed,
    -5: OperationFailed, -6: InvalidArgument, -7: InvalidArgument,
    -8: DataError, -10: WriteError, -11: Cancelled, -12: ReaderBusy,
}
_CLASS_OF_CODE.update({code: ReaderRefused for code in range(48, 58)})
_CLASS_OF_CODE.update({code: ReaderRefused for code in range(20, 24)})


def error_for(code: int, *, query: bool = False,
              device_path: Optional[str] = None) -> StripeError:
    """The exception for a failed call's code: the class by code, the
    sentence of a card call (or, with ``query``, of a question without a
    card), and for -12 the holders of ``device_path``."""
    message = _stripedrv.query_message(code) if query else _stripedrv.code_message(code)
    cls = _CLASS_OF_CODE.get(code, StripeError)
    if cls is ReaderBusy:
        holders = _stripedrv.busy_holders(device_path) if device_path else ""
        return ReaderBusy(code, f"{message}: {holders}" if holders else message, holders)
    if cls is PortError:
        return port_error(message, device_path or "")
    return cls(code, message)


def port_error(message: str, device_path: str) -> PortError:
    """A -3 for ``device_path`` with the system's reason when it sees one:
    the device missing, or not open to this user for reading and writing."""
    if not device_path:
        return PortError(-3, message)
    try:
        os.stat(device_path)
        if not os.access(device_path, os.R_OK | os.W_OK):
            return PortError(-3, message, device_path, os.strerror(errno.EACCES), errno.EACCES)
    except OSError as error:
        return PortError(-3, message, device_path, error.strerror or "", error.errno)
    return PortError(-3, message, device_path)
