"""A waiting read and the rest of the program: other threads run, cancel()
from a thread or a signal handler, Ctrl-C, asyncio cancellation."""

import asyncio
import os
import signal
import threading
import time
from typing import Callable, Iterator

import pytest

import stripedrv

from conftest import Sim


@pytest.fixture
def slow_sim(sim_factory: Callable[..., Sim]) -> Sim:
    """A reader whose card comes only after 30 s: every read waits."""
    return sim_factory("--no-pacing", "--swipe-delay", "30")


def later(seconds: float, action: Callable[[], None]) -> threading.Timer:
    timer = threading.Timer(seconds, action)
    timer.start()
    return timer


WAITING = "waiting for the card"  # readersim's line once a read waits for a swipe


def once_waiting(sim: Sim, action: Callable[[], None]) -> Callable[[], float]:
    """Runs `action` from another thread once the driver's read waits for
    the card (a cancel before the call begins would affect nothing); the
    function returned gives the moment it ran."""
    done = threading.Event()
    moment = [0.0]

    def run() -> None:
        sim.wait_for(WAITING)
        moment[0] = time.monotonic()
        action()
        done.set()

    threading.Thread(target=run, daemon=True).start()

    def when() -> float:
        assert done.wait(30), "the read never waited for the card"
        return moment[0]
    return when


def test_other_threads_run_during_a_waiting_read(sim_factory: Callable[..., Sim]) -> None:
    sim = sim_factory("--no-pacing", "--swipe-delay", "0.5")
    count = 0
    stop = threading.Event()

    def counter() -> None:
        nonlocal count
        while not stop.is_set():
            count += 1
            time.sleep(0.001)

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        before = count
        card = stripedrv.Reader(sim.port).read(timeout=5)
        assert card.track2
        assert count - before > 50  # about 500 in the half second
    finally:
        stop.set()
        thread.join()


def test_cancel_from_another_thread(slow_sim: Sim) -> None:
    cancelled_at = once_waiting(slow_sim, stripedrv.cancel)
    with pytest.raises(stripedrv.Cancelled) as caught:
        stripedrv.Reader(slow_sim.port).read(timeout=20)
    assert time.monotonic() - cancelled_at() < 1.0
    assert caught.value.code == -11
    assert str(caught.value) == "cancelled by the host"
    slow_sim.wait_for("<- 1B 30")  # the reader was told to leave read mode


def test_cancel_from_a_signal_handler(slow_sim: Sim) -> None:
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: stripedrv.cancel())
    try:
        signalled_at = once_waiting(slow_sim, lambda: os.kill(os.getpid(), signal.SIGALRM))
        with pytest.raises(stripedrv.Cancelled):
            stripedrv.Reader(slow_sim.port).read(timeout=20)
        assert time.monotonic() - signalled_at() < 1.0
    finally:
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("delay_ms", [0, 1, 3, 7, 15, 25, 40, 70])
def test_ctrl_c_cuts_a_read_short_whenever_it_comes(slow_sim: Sim, delay_ms: int) -> None:
    # The signal lands before, at or during the driver's wait: the read
    # always ends at once with KeyboardInterrupt, and the line is free for
    # the next call.
    reader = stripedrv.Reader(slow_sim.port)
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        later(delay_ms / 1000, lambda: os.kill(os.getpid(), signal.SIGINT))
        reader.read(timeout=20)
    assert time.monotonic() - started < 0.5
    assert reader.info().firmware  # the line was closed again


@pytest.mark.parametrize("delay_ms", [0, 2, 10, 50])
def test_cancel_races_with_the_start_of_a_call(sim_factory: Callable[..., Sim],
                                               delay_ms: int) -> None:
    # A cancel that comes before the call begins affects nothing: the read
    # then ends with its card; never a later call cut short.
    sim = sim_factory("--no-pacing", "--swipe-delay", "0.1")
    reader = stripedrv.Reader(sim.port)
    later(delay_ms / 1000, stripedrv.cancel)
    try:
        reader.read(timeout=5)
    except stripedrv.Cancelled:
        pass
    assert reader.read(timeout=5).track2


def test_an_asyncio_task_cancelled_during_a_waiting_read(slow_sim: Sim) -> None:
    reader = stripedrv.Reader(slow_sim.port)

    async def scenario() -> float:
        task = asyncio.ensure_future(reader.read_async(timeout=20))
        deadline = time.monotonic() + 30
        while WAITING not in slow_sim.log():  # the driver's read waits
            assert time.monotonic() < deadline, "the read never waited for the card"
            await asyncio.sleep(0.01)
        assert not task.done()
        started = time.monotonic()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - started

    assert asyncio.run(scenario()) < 0.1
    slow_sim.wait_for("<- 1B 30")  # the driver call ended cancelled


def test_asyncio_reads_run_beside_other_tasks(sim_factory: Callable[..., Sim]) -> None:
    sim = sim_factory("--no-pacing", "--swipe-delay", "0.3")
    reader = stripedrv.Reader(sim.port)

    async def scenario() -> int:
        ticks = 0

        async def ticker() -> None:
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.01)

        ticking = asyncio.ensure_future(ticker())
        card = await reader.read_async(tracks=2, timeout=5)
        ticking.cancel()
        assert card.track2 and not card.track3
        return ticks

    assert asyncio.run(scenario()) > 10


def test_a_signal_whose_handler_raises_nothing_does_not_end_the_read(
        sim_factory: Callable[..., Sim]) -> None:
    # As Python does for a system call: the handler runs, and the read goes
    # on (made again) with the card it then gets.
    sim = sim_factory("--no-pacing", "--swipe-delay", "0.3")
    seen = []
    previous = signal.signal(signal.SIGALRM, lambda signum, frame: seen.append(signum))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        card = stripedrv.Reader(sim.port).read(timeout=5)
        assert card.track2 and seen == [signal.SIGALRM]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
