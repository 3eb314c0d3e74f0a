"""stripedrv: read and write magnetic-stripe cards from Python.

>>> import stripedrv
>>> reader = stripedrv.Reader("ttyUSB0", baud=9600)
>>> card = reader.read(tracks=23, timeout=20)
>>> card.track2, card.fields
>>> reader.write(track2="1234=5678", verify=True)
>>> stripedrv.cancel()       # from any thread or signal handler

Every call is one transaction of the driver stripedrv.so. Failures raise
:class:`StripeError` subclasses that carry the driver's ``code`` and the
sentence ``stripectl`` prints for it.
"""

from ._errors import (Cancelled, DataError, InvalidArgument, OperationFailed, PortError,
                      ReaderBusy, ReaderRefused, StatusError, StripeError, Timeout,
                      VerifyMismatch, WriteError)
from ._reader import (BAUD_RATES, MAX_TIMEOUT, TRACK_CHARACTERS, TRACK_MODES, Card, Reader,
                      ReaderInfo, Track2Fields, cancel)

def _warn_of_trace() -> None:
    # A switched-on trace of the driver (CONFIG.ini in the working
    # directory) writes every card read or written to DataLog.log in plain
    # text: said once, on import.
    import logging

    from . import _stripedrv
    warning = _stripedrv.trace_warning()
    if warning:
        logging.getLogger("stripedrv").warning(warning)


_warn_of_trace()

__all__ = [
    "Reader", "Card", "Track2Fields", "ReaderInfo", "cancel",
    "StripeError", "StatusError", "Timeout", "PortError", "OperationFailed",
    "InvalidArgument", "DataError", "WriteError", "Cancelled", "ReaderBusy",
    "ReaderRefused", "VerifyMismatch",
    "TRACK_MODES", "BAUD_RATES", "MAX_TIMEOUT", "TRACK_CHARACTERS",
]
