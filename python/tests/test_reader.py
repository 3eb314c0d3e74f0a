"""The Reader as an object: made for a port that is there, used in a with
statement and closed, its time limits held to the fraction of a second,
readers of one process taking turns."""

import errno
import os
import tempfile
import threading
import time
from typing import Callable, List

import pytest

import stripedrv
from stripedrv import _stripedrv

from conftest import Sim

# How far past its deadline a call may end.
SLACK = 0.2


def test_a_missing_port_is_refused_when_the_reader_is_made() -> None:
    with pytest.raises(stripedrv.PortError) as caught:
        stripedrv.Reader("ttyNOPE0")
    error = caught.value
    assert isinstance(error, OSError)
    assert (error.code, error.port, error.errno) == (-3, "/dev/ttyNOPE0", errno.ENOENT)
    assert error.strerror == os.strerror(errno.ENOENT)
    assert str(error) == (f"{_stripedrv.query_message(-3)}: /dev/ttyNOPE0: "
                          f"{os.strerror(errno.ENOENT)}. {_stripedrv.doctor_hint()}")
    assert "'stripectl doctor'" in str(error)

    # One that goes away later: the call says so the same way.
    with tempfile.NamedTemporaryFile(prefix="sd-gone-") as gone:
        reader = stripedrv.Reader(os.path.relpath(gone.name, "/dev"))
    with pytest.raises(stripedrv.PortError) as caught:
        reader.read(timeout=1)
    assert (caught.value.errno, caught.value.port) == (errno.ENOENT, reader.device_path)
    assert caught.value.message == _stripedrv.code_message(-3)


def test_with_statement_and_close(sim: Sim) -> None:
    with stripedrv.Reader(sim.port) as reader:
        assert reader.read(tracks=2, timeout=2).track2
        assert not reader.closed
    assert reader.closed
    before = sim.received()
    for call in (lambda: reader.read(timeout=2), reader.info,
                 lambda: reader.write(track2="1234", timeout=2), reader.__enter__):
        with pytest.raises(ValueError, match=f"the reader on {reader.device_path} is closed"):
            call()
    reader.close()  # again: nothing
    assert sim.received() == before


def test_close_cancels_a_call_of_another_thread(sim_factory: Callable[..., Sim]) -> None:
    sim = sim_factory("--no-pacing", "--swipe-delay", "30")
    reader = stripedrv.Reader(sim.port)
    outcome: List[BaseException] = []

    def waiting_read() -> None:
        try:
            reader.read(timeout=20)
        except BaseException as error:  # noqa: B036 - handed to the test
            outcome.append(error)

    thread = threading.Thread(target=waiting_read)
    thread.start()
    sim.wait_for("<- 1B 42 5D")  # the read command: the call waits for the swipe
    reader.close()
    thread.join(5)
    assert len(outcome) == 1 and isinstance(outcome[0], stripedrv.Cancelled)
    sim.wait_for("<- 1B 30")  # the reader was told to leave read mode


@pytest.mark.parametrize("call, misbehaviour", [("read", ["--swipe-delay", "30"]),
                                                ("write", ["--no-status"])])
def test_a_float_timeout_holds(sim_factory: Callable[..., Sim], call: str,
                               misbehaviour: List[str]) -> None:
    # No card, no answer to the write: the driver's own wait would be 5 s a
    # byte.
    sim = sim_factory("--no-pacing", *misbehaviour)
    reader = stripedrv.Reader(sim.port)
    started = time.monotonic()
    with pytest.raises(stripedrv.Timeout) as caught:
        if call == "read":
            reader.read(timeout=1.5)
        else:
            reader.write(track2="1234", timeout=1.5)
    took = time.monotonic() - started
    assert 1.5 <= took < 1.5 + SLACK, took
    assert caught.value.code == -2
    assert caught.value.message == _stripedrv.code_message(-2)
    assert reader.info().firmware  # the line was given back


def test_readers_of_one_process_take_turns(sim_factory: Callable[..., Sim]) -> None:
    # A's read gets its card after 1 s. B, on another port, waits for its
    # turn and runs out of time meanwhile; its deadline never cuts A's call.
    first = sim_factory("--no-pacing", "--swipe-delay", "1")
    second = sim_factory("--no-pacing")
    cards: List[stripedrv.Card] = []
    thread = threading.Thread(
        target=lambda: cards.append(stripedrv.Reader(first.port).read(tracks=2, timeout=5)))
    thread.start()
    first.wait_for("<- 1B 5D")
    started = time.monotonic()
    with pytest.raises(stripedrv.Timeout):
        stripedrv.Reader(second.port).read(timeout=0.3)
    assert time.monotonic() - started < 0.3 + SLACK
    assert second.received() == []
    thread.join()
    assert cards and cards[0].track2
