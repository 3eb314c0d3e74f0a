"""The reader: read, write and identify over one serial line."""

import asyncio
import threading
from dataclasses import dataclass
from typing import Optional, Tuple, TypeVar, Callable

from . import _stripedrv
from ._errors import VerifyMismatch, error_for

#: The track selectors: track 2, track 3, both.
TRACK_MODES = (2, 3, 23)
#: The line speeds the reader's adapter runs at.
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 115200)
#: The longest time limit a call takes, in whole seconds.
MAX_TIMEOUT = 600
#: What a stripe of track 2 or 3 can hold: the digits and ":;<=>?" ("=" is
#: the field separator; the reader adds the sentinels ";" and "?" itself).
TRACK_CHARACTERS = frozenset("0123456789:;<=>?")

_T = TypeVar("_T")


@dataclass(frozen=True)
class Track2Fields:
    """The fields of a track-2 text in the layout of payment cards.

    The account number is masked (first 6 and last 4 digits shown);
    ``luhn_ok`` tells whether its check digit is right.
    """

    pan_masked: str
    expiry: str
    service_code: str
    luhn_ok: bool

    @staticmethod
    def parse(track2: str) -> Optional["Track2Fields"]:
        """The fields of ``track2``, or None when it lacks the layout."""
        fields = _stripedrv.parse_track2(track2)
        return Track2Fields(*fields) if fields is not None else None


@dataclass(frozen=True)
class Card:
    """What a read found: the track texts ("" for a track not read, "=" as
    field separator) and the fields of track 2 when it has their layout."""

    track2: str
    track3: str
    fields: Optional[Track2Fields]


@dataclass(frozen=True)
class ReaderInfo:
    """Who the reader is: firmware version, serial number, production date
    ("YYMM") and model ("P26A" or "P26B"). Serial number and date are "" when
    the firmware settles the model without the identity record."""

    firmware: str
    serial_number: str
    production_date: str
    model: str


def cancel() -> None:
    """Cuts the reader call under way short: it raises :class:`Cancelled`
    within a few milliseconds. Safe from any thread and from a signal
    handler; with no call under way it does nothing (it never cancels a
    later call)."""
    _stripedrv.cancel()


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _text_of(data: bytes) -> str:
    # Whatever the reader sent, one character per byte: never an exception
    # over a stray byte of a worn stripe.
    return data.decode("latin-1")


def _check_int(name: str, value: object, allowed: "Tuple[int, ...] | range") -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value not in allowed:
        shown = (f"{allowed.start}..{allowed.stop - 1}" if isinstance(allowed, range)
                 else ", ".join(str(v) for v in allowed))
        raise ValueError(f"{name} must be one of {shown}, not {value}")
    return value


def _check_track(name: str, text: object) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a str, not {type(text).__name__}")
    bad = sorted(set(text) - TRACK_CHARACTERS)
    if bad:
        raise ValueError(f"{name} holds characters a stripe cannot hold: {''.join(bad)!r} "
                         "(only digits and :;<=>?)")
    return text


def _port_name(port: object) -> str:
    if not isinstance(port, str):
        raise TypeError(f"port must be a str, not {type(port).__name__}")
    if "\0" in port:
        raise ValueError("port must not contain a NUL character")
    if not port.isascii():
        raise ValueError("port must be ASCII")
    # The driver puts "/dev/" in front of the name itself.
    name = port[len("/dev/"):] if port.startswith("/dev/") else port
    if not name:
        raise ValueError("port is empty")
    return name


class Reader:
    """A magnetic-stripe reader/writer on a serial line.

    ``port`` is the tty: "ttyUSB0", "/dev/ttyUSB0" or a link such as
    "/dev/stripe-reader" (with or without "/dev/"). Nothing is opened here:
    every call is one whole transaction that opens the line, talks to the
    reader and closes it again, so several programs can take turns.

    With ``ext_port`` the reader's external port is selected first.

    Calls block until the reader answers (a read up to about 2 * timeout +
    12 seconds) but never hold the interpreter: other threads run meanwhile.
    On the main thread a signal Python handles cuts a call short and its
    handler runs (Ctrl-C: ``KeyboardInterrupt``); :func:`stripedrv.cancel`
    does from any thread or signal handler (:class:`Cancelled`). Failures raise :class:`StripeError` subclasses;
    bad arguments raise ``TypeError``/``ValueError`` before anything is
    sent.

    >>> reader = Reader("ttyUSB0")
    >>> card = reader.read(tracks=23, timeout=20)
    """

    def __init__(self, port: str, baud: int = 9600, *, ext_port: bool = False) -> None:
        self._port = _port_name(port)
        self._baud = _check_int("baud", baud, BAUD_RATES)
        self._ext_port = bool(ext_port)

    @property
    def port(self) -> str:
        """The tty's name below /dev/, as the driver takes it."""
        return self._port

    @property
    def device_path(self) -> str:
        """The tty's path."""
        return "/dev/" + self._port

    @property
    def baud(self) -> int:
        """The line speed."""
        return self._baud

    def __repr__(self) -> str:
        return f"Reader({self.device_path!r}, baud={self._baud})"

    def _read(self, tracks: int, timeout: int) -> Card:
        code, track2, track3 = _stripedrv.read_card(
            self._port, self._ext_port, self._baud, timeout, tracks, _on_main_thread())
        if code != 0:
            raise error_for(code, device_path=self.device_path)
        text2 = _text_of(track2)
        return Card(text2, _text_of(track3), Track2Fields.parse(text2) if text2 else None)

    def read(self, tracks: int = 23, timeout: int = 20) -> Card:
        """Waits up to ``timeout`` seconds for a swipe and returns the
        tracks read (``tracks`` 2, 3 or 23 for both)."""
        tracks = _check_int("tracks", tracks, TRACK_MODES)
        timeout = _check_int("timeout", timeout, range(MAX_TIMEOUT + 1))
        return self._read(tracks, timeout)

    def write(self, track2: str = "", track3: str = "", *, tracks: Optional[int] = None,
              timeout: int = 20, verify: bool = False) -> None:
        """Writes the texts on the next card swiped within ``timeout``
        seconds. ``tracks`` defaults to those given a text; with ``verify``
        the card is read back (a second swipe) and a difference raises
        :class:`VerifyMismatch`. Texts longer than one write command holds
        (194 characters on track 2 alone, 193 otherwise) raise
        :class:`InvalidArgument` (a ``ValueError``) with nothing sent."""
        track2 = _check_track("track2", track2)
        track3 = _check_track("track3", track3)
        if tracks is None:
            if not track2 and not track3:
                raise ValueError("give the text to write in track2 and/or track3")
            tracks = 23 if track2 and track3 else 2 if track2 else 3
        tracks = _check_int("tracks", tracks, TRACK_MODES)
        timeout = _check_int("timeout", timeout, range(MAX_TIMEOUT + 1))
        code = _stripedrv.write_card(self._port, self._ext_port, self._baud, timeout, tracks,
                                     track2, track3, _on_main_thread())
        if code != 0:
            raise error_for(code, device_path=self.device_path)
        if verify:
            self._verify(tracks, timeout, (track2, track3))

    def _verify(self, tracks: int, timeout: int, written: Tuple[str, str]) -> None:
        card = self._read(tracks, timeout)
        differences = []
        if tracks != 3 and card.track2 != written[0]:
            differences.append(f'track 2 reads "{card.track2}", expected "{written[0]}"')
        if tracks != 2 and card.track3 != written[1]:
            differences.append(f'track 3 reads "{card.track3}", expected "{written[1]}"')
        if differences:
            raise VerifyMismatch("; ".join(differences), written, (card.track2, card.track3))

    def info(self) -> ReaderInfo:
        """Asks the reader for its firmware version and, unless that
        settles the model, its identity record (serial number, production
        date)."""
        code, firmware, serial, date, model = _stripedrv.reader_info(
            self._port, self._baud, _on_main_thread())
        if code != 0:
            raise error_for(code, query=True, device_path=self.device_path)
        return ReaderInfo(_text_of(firmware), _text_of(serial), _text_of(date), model)

    async def read_async(self, tracks: int = 23, timeout: int = 20) -> Card:
        """:meth:`read` for asyncio: the read runs in the loop's default
        executor; cancelling the awaiting task cancels the read (the driver
        call ends with -11) and raises ``asyncio.CancelledError``."""
        tracks = _check_int("tracks", tracks, TRACK_MODES)
        timeout = _check_int("timeout", timeout, range(MAX_TIMEOUT + 1))
        return await _run_cancellable(lambda: self._read(tracks, timeout))

    async def write_async(self, track2: str = "", track3: str = "", *,
                          tracks: Optional[int] = None, timeout: int = 20,
                          verify: bool = False) -> None:
        """:meth:`write` for asyncio, cancelled like :meth:`read_async`."""
        _check_track("track2", track2)
        _check_track("track3", track3)
        await _run_cancellable(lambda: self.write(track2, track3, tracks=tracks,
                                                  timeout=timeout, verify=verify))


async def _run_cancellable(call: Callable[[], _T]) -> _T:
    loop = asyncio.get_running_loop()
    future = loop.run_in_executor(None, call)
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        # Cut the driver call short and let it end before the task does, so
        # that the line is closed when the caller sees the cancellation.
        # (A cancel made before the call began its wait does not reach it:
        # repeat until it has ended.)
        while not future.done():
            cancel()
            await asyncio.wait({future}, timeout=0.005)
        future.exception()  # retrieved: the Cancelled it raised is expected
        raise
