"""The reader: read, write and identify over one serial line."""

import asyncio
import os
import threading
import time
from dataclasses import dataclass
from types import TracebackType
from typing import Callable, Dict, Optional, Tuple, Type, TypeVar

from . import _stripedrv
from ._errors import PortError, VerifyMismatch, error_for

#: The track selectors: track 2, track 3, both.
TRACK_MODES = (2, 3, 23)
#: The line speeds the reader's adapter runs at.
BAUD_RATES = (1200, 2400, 4800, 9600, 19200, 38400, 115200)
#: The longest time limit a call takes, in seconds.
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
    """What a read found: the track texts ("=" as field separator) and the
    fields of track 2 when it has their layout.

    A track that was not read (not among ``tracks``) is None, as it is null
    in the JavaScript client; a track read from a card that holds nothing
    there is ""."""

    track2: Optional[str]
    track3: Optional[str]
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


def _check_timeout(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(value).__name__}")
    if not 0 <= value <= MAX_TIMEOUT:  # NaN is refused here too
        raise ValueError(f"timeout must be from 0 to {MAX_TIMEOUT} seconds, not {value}")
    return float(value)


def _port_name(port: object) -> str:
    # stripectl's rule for --port (the shared code): "/dev/" taken off, the
    # name neither empty nor holding a NUL; and a str of ASCII.
    if not isinstance(port, str):
        raise TypeError(f"port must be a str, not {type(port).__name__}")
    if not port.isascii():
        raise ValueError("port must be ASCII")
    name = _stripedrv.port_name(port)
    problem = _stripedrv.port_name_problem(name)
    if problem:
        raise ValueError(problem)
    return name


class _Turns:
    """One reader call at a time in the process, in the order the turn
    frees. The driver keeps its one line in process-wide state and runs one
    call at a time anyway; taking turns here first also means that a call's
    deadline or stop, which cancels "the call under way" of the driver,
    can only ever reach that call's own."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._taken = False

    def take(self, deadline: Optional[float], stop: "_stripedrv.CallStop") -> int:
        """0 once the turn is ours; -2 when the deadline passes first, -11
        when the call is stopped first."""
        with self._changed:
            while self._taken:
                if stop.stopped:
                    return -11
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    return -2
                self._changed.wait(left)
            self._taken = True
            return 0

    def give(self) -> None:
        with self._changed:
            self._taken = False
            self._changed.notify_all()

    def wake(self) -> None:
        """Lets the waiting calls look at their stops again."""
        with self._changed:
            self._changed.notify_all()


_turns = _Turns()


def _stop(stop: "_stripedrv.CallStop") -> None:
    stop.stop()
    _turns.wake()


class Reader:
    """A magnetic-stripe reader/writer on a serial line.

    ``port`` is the tty: "ttyUSB0", "/dev/ttyUSB0" or a link such as
    "/dev/stripe-reader" (with or without "/dev/"), taken by stripectl's
    rules for ``--port``. A device that does not exist raises
    :class:`PortError` here, with the system's reason. Nothing is opened:
    every call is one whole transaction that opens the line, talks to the
    reader and closes it again, so several programs can take turns.

    With ``ext_port`` the reader's external port is selected first.

    ``timeout`` (seconds, a float: 2.5 will do) holds to within 0.2 s: at
    the deadline the call is cancelled and raises :class:`Timeout`.

    Readers in one process take turns: the driver keeps its one line in
    process-wide state, so it runs one call at a time per process, and a
    call waits for the call of another Reader, even on another port (the
    wait counts against its timeout). Separate processes run side by side.

    Calls block until the reader answers or the deadline comes but never
    hold the interpreter: other threads run meanwhile. On the main thread
    a signal Python handles cuts a call short and its handler runs (Ctrl-C:
    ``KeyboardInterrupt``); :func:`stripedrv.cancel` does from any thread
    or signal handler (:class:`Cancelled`). Failures raise
    :class:`StripeError` subclasses; bad arguments raise
    ``TypeError``/``ValueError`` before anything is sent.

    A Reader is a context manager; :meth:`close` ends its use.

    >>> with Reader("ttyUSB0") as reader:
    ...     card = reader.read(tracks=23, timeout=2.5)
    """

    def __init__(self, port: str, baud: int = 9600, *, ext_port: bool = False) -> None:
        self._port = _port_name(port)
        self._baud = _check_int("baud", baud, BAUD_RATES)
        self._ext_port = bool(ext_port)
        self._state = threading.Condition()
        self._closed = False
        self._calls: Dict["_stripedrv.CallStop", int] = {}  # under way: their threads
        try:
            os.stat(self.device_path)
        except OSError as error:
            raise PortError(-3, _stripedrv.query_message(-3), self.device_path,
                            error.strerror or "", error.errno) from None

    def close(self) -> None:
        """Ends the use of this reader; later calls raise ``ValueError``.

        There is no line to close (each call closes its own), so this only
        settles the calls: a call of this reader under way in another thread
        is cancelled (it raises :class:`Cancelled`) and waited for, so that
        on return no call of this reader is running and its line is closed.
        Closing again does nothing."""
        with self._state:
            self._closed = True
            stops = list(self._calls)
        for stop in stops:
            _stop(stop)
        me = threading.get_ident()
        with self._state:
            # A call on this very thread (close() from a signal handler)
            # ends once the handler returns: not waited for.
            self._state.wait_for(lambda: all(t == me for t in self._calls.values()))

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called."""
        return self._closed

    def __enter__(self) -> "Reader":
        if self._closed:
            raise ValueError(f"the reader on {self.device_path} is closed")
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def _call(self, run: Callable[["_stripedrv.CallStop", float], _T],
              timeout: Optional[float], stop: Optional["_stripedrv.CallStop"] = None) -> _T:
        """``run(stop, seconds left)`` in this reader's turn; raises Timeout
        when the deadline passes first and Cancelled when stopped first.
        Without a timeout, seconds left is -1."""
        deadline = None if timeout is None else time.monotonic() + timeout
        stop = stop if stop is not None else _stripedrv.CallStop()
        with self._state:
            if self._closed:
                raise ValueError(f"the reader on {self.device_path} is closed")
            self._calls[stop] = threading.get_ident()
        try:
            code = _turns.take(deadline, stop)
            if code != 0:
                raise error_for(code)
            try:
                left = -1.0 if deadline is None else max(0.0, deadline - time.monotonic())
                return run(stop, left)
            finally:
                _turns.give()
        finally:
            with self._state:
                del self._calls[stop]
                self._state.notify_all()

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

    def _card_failure(self, code: int) -> Exception:
        # A deadline that came while another program held the line cut the
        # driver's wait for it: that is the busy line, not a missing card.
        if code == -2 and _stripedrv.locked_by_other(self.device_path):
            code = -12
        return error_for(code, device_path=self.device_path)

    def _read(self, tracks: int, timeout: float,
              stop: Optional["_stripedrv.CallStop"] = None) -> Card:
        code, track2, track3 = self._call(
            lambda stop, left: _stripedrv.read_card(self._port, self._ext_port, self._baud, left,
                                                    tracks, _on_main_thread(), stop),
            timeout, stop)
        if code != 0:
            raise self._card_failure(code)
        text2 = _text_of(track2) if tracks != 3 else None
        text3 = _text_of(track3) if tracks != 2 else None
        return Card(text2, text3, Track2Fields.parse(text2) if text2 else None)

    def read(self, tracks: int = 23, timeout: float = 20) -> Card:
        """Waits up to ``timeout`` seconds (a float, to within 0.2 s) for a
        swipe and returns the tracks read (``tracks`` 2, 3 or 23 for both);
        a track not read is None. Waits first for the call of another
        Reader of this process under way (see :class:`Reader`)."""
        tracks = _check_int("tracks", tracks, TRACK_MODES)
        return self._read(tracks, _check_timeout(timeout))

    def write(self, track2: str = "", track3: str = "", *, tracks: Optional[int] = None,
              timeout: float = 20, verify: bool = False) -> None:
        """Writes the texts on the next card swiped within ``timeout``
        seconds (a float, to within 0.2 s). ``tracks`` defaults to those
        given a text; with ``verify`` the card is read back (a second swipe,
        with a ``timeout`` of its own) and a difference raises
        :class:`VerifyMismatch`. Texts longer than one write command holds
        (194 characters on track 2 alone, 193 otherwise) raise
        :class:`InvalidArgument` (a ``ValueError``) with nothing sent."""
        self._write(track2, track3, tracks, timeout, verify, None)

    def _write(self, track2: str, track3: str, tracks: Optional[int], timeout: float,
               verify: bool, stop: Optional["_stripedrv.CallStop"]) -> None:
        track2 = _check_track("track2", track2)
        track3 = _check_track("track3", track3)
        if tracks is None:
            if not track2 and not track3:
                raise ValueError("give the text to write in track2 and/or track3")
            tracks = 23 if track2 and track3 else 2 if track2 else 3
        chosen = _check_int("tracks", tracks, TRACK_MODES)
        seconds = _check_timeout(timeout)
        code = self._call(
            lambda stop, left: _stripedrv.write_card(self._port, self._ext_port, self._baud, left,
                                                     chosen, track2, track3, _on_main_thread(),
                                                     stop),
            seconds, stop)
        if code != 0:
            raise self._card_failure(code)
        if verify:
            self._verify(chosen, seconds, (track2, track3), stop)

    def _verify(self, tracks: int, timeout: float, written: Tuple[str, str],
                stop: Optional["_stripedrv.CallStop"]) -> None:
        card = self._read(tracks, timeout, stop)
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
        code, firmware, serial, date, model = self._call(
            lambda stop, left: _stripedrv.reader_info(self._port, self._baud, _on_main_thread(),
                                                      stop),
            None)
        if code != 0:
            raise error_for(code, query=True, device_path=self.device_path)
        return ReaderInfo(_text_of(firmware), _text_of(serial), _text_of(date), model)

    async def read_async(self, tracks: int = 23, timeout: float = 20) -> Card:
        """:meth:`read` for asyncio: the read runs in the loop's default
        executor; cancelling the awaiting task cancels this read alone (the
        driver call ends with -11) and raises ``asyncio.CancelledError``."""
        tracks = _check_int("tracks", tracks, TRACK_MODES)
        seconds = _check_timeout(timeout)
        return await _run_cancellable(lambda stop: self._read(tracks, seconds, stop))

    async def write_async(self, track2: str = "", track3: str = "", *,
                          tracks: Optional[int] = None, timeout: float = 20,
                          verify: bool = False) -> None:
        """:meth:`write` for asyncio, cancelled like :meth:`read_async`."""
        _check_track("track2", track2)
        _check_track("track3", track3)
        await _run_cancellable(lambda stop: self._write(track2, track3, tracks, timeout, verify,
                                                        stop))


async def _run_cancellable(call: Callable[["_stripedrv.CallStop"], _T]) -> _T:
    loop = asyncio.get_running_loop()
    stop = _stripedrv.CallStop()
    future = loop.run_in_executor(None, call, stop)
    try:
        return await asyncio.shield(future)
    except asyncio.CancelledError:
        # Stop this call (and no other) and let it end before the task
        # does, so that the line is closed when the caller sees the
        # cancellation.
        _stop(stop)
        await asyncio.wait({future})
        future.exception()  # retrieved: the Cancelled it raised is expected
        raise
