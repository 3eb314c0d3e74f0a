"""Every failure the simulated reader can bring about, to its exception
class, code and sentence; a line held by another process."""

import os
import subprocess
import sys
import tempfile
import time
from typing import Callable

import pytest

import stripedrv
from stripedrv import _stripedrv

from conftest import Sim, program, run, wait_for


def read(reader: stripedrv.Reader) -> None:
    reader.read(timeout=1)


def write(reader: stripedrv.Reader) -> None:
    reader.write(track2="1234=5678", timeout=1)


def info(reader: stripedrv.Reader) -> None:
    reader.info()


# (readersim options, call, class, code). The slow ones wait out the
# driver's 5 seconds for a byte that never comes; CTest runs each of them as
# a test of its own (python/tests/CMakeLists.txt names them).
FAILURES = {
    "error_byte_B": (["--error-byte", "B"], read, stripedrv.ReaderRefused, 21),
    "error_byte_7": (["--error-byte", "7"], read, stripedrv.ReaderRefused, 55),
    "status_rq": (["--status", "rq"], write, stripedrv.OperationFailed, -5),
    "no_identity": (["--no-identity"], info, stripedrv.Timeout, -2),
    "identity_start": (["--identity-start", "X"], info, stripedrv.DataError, -8),
}
SLOW_FAILURES = {
    "silent": (["--silent"], read, stripedrv.Timeout, -2),
}


def check_failure(sim: Sim, call: Callable[[stripedrv.Reader], None], cls: type,
                  code: int) -> None:
    with pytest.raises(cls) as caught:
        call(stripedrv.Reader(sim.port))
    error = caught.value
    assert isinstance(error, stripedrv.StripeError)
    assert error.code == code
    sentence = _stripedrv.query_message(code) if call is info else _stripedrv.code_message(code)
    assert error.message == sentence
    if isinstance(error, stripedrv.PortError):
        # The status "rs" on a line the system opens fine: no reason of its own.
        assert (error.port, error.strerror, error.errno) == (sim.device_path, "", None)
        assert str(error) == f"{sentence}: {sim.device_path}. {_stripedrv.doctor_hint()}"
    else:
        assert str(error) == sentence


@pytest.mark.parametrize("name", FAILURES)
def test_failure_to_class_and_sentence(sim_factory: Callable[..., Sim], name: str) -> None:
    options, call, cls, code = FAILURES[name]
    check_failure(sim_factory("--no-pacing", *options), call, cls, code)


@pytest.mark.parametrize("name", SLOW_FAILURES)
def test_slow_failure_to_class_and_sentence(sim_factory: Callable[..., Sim], name: str) -> None:
    options, call, cls, code = SLOW_FAILURES[name]
    check_failure(sim_factory("--no-pacing", *options), call, cls, code)


def test_a_refused_swipe_names_its_error_byte(sim_factory: Callable[..., Sim]) -> None:
    sim = sim_factory("--no-pacing", "--error-byte", "C")
    with pytest.raises(stripedrv.ReaderRefused) as caught:
        stripedrv.Reader(sim.port).read()
    assert caught.value.error_byte == "C"
    assert '"C"' in str(caught.value)


# The status answers that end with neither "p" nor "q" ("rt", "rs", an
# unknown one) are judged by the driver only after its limit and a further
# 5 s wait for a byte, always past the caller's deadline: they time out.
@pytest.mark.parametrize("status", ["rt", "rs", "what"])
def test_a_status_judged_after_the_deadline_is_a_timeout(sim_factory: Callable[..., Sim],
                                                         status: str) -> None:
    sim = sim_factory("--no-pacing", "--status", status)
    started = time.monotonic()
    with pytest.raises(stripedrv.Timeout):
        write(stripedrv.Reader(sim.port))
    assert time.monotonic() - started < 3  # the 1 s deadline, not the driver's 5 s


def test_slow_hangup_mid_reply(sim_factory: Callable[..., Sim]) -> None:
    with tempfile.TemporaryDirectory(prefix="sd") as folder:
        link = os.path.join(folder, "reader")
        sim_factory("--no-pacing", "--hangup-after", "3", "--link", link)
        with pytest.raises(stripedrv.Timeout):
            stripedrv.Reader(os.path.relpath(link, "/dev")).read(timeout=1)


def test_a_port_that_does_not_exist() -> None:
    with pytest.raises(stripedrv.PortError) as caught:
        stripedrv.Reader("ttyNoSuchReader9").read(timeout=1)
    assert caught.value.code == -3


def test_every_code_the_driver_gives_has_its_own_class() -> None:
    codes = [c for c in list(range(-20, 1)) + list(range(20, 60)) if _stripedrv.is_known_code(c)]
    assert len(codes) == 27  # 0, -1..-12, "A".."D", "0".."9"
    from stripedrv._errors import error_for
    for code in codes:
        if code in (0, -9):  # success; the device-information call's library only
            continue
        error = error_for(code)
        assert type(error) is not stripedrv.StripeError, code
        assert error.code == code and error.message == _stripedrv.code_message(code)
        assert str(error).startswith(error.message)
    assert type(error_for(-99)) is stripedrv.StripeError
    assert str(error_for(-99)) == "unexpected result -99 from the driver"


HOLDER = """
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("held", flush=True)
sys.stdin.read()
"""


def test_a_line_held_by_another_process_names_the_holder(sim: Sim) -> None:
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, sim.device_path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout is not None and holder.stdout.readline() == "held\n"
        started = time.monotonic()
        with pytest.raises(stripedrv.ReaderBusy) as caught:
            stripedrv.Reader(sim.port).read(timeout=1)
        assert time.monotonic() - started < 3
        error = caught.value
        assert error.code == -12
        assert f"(pid {holder.pid}, locked)" in error.holders
        assert str(error) == f"{_stripedrv.code_message(-12)}: {error.holders}"
        # stripectl says the same after "failed: ".
        answer = run(program("stripectl"), "read", "--port", sim.port, "--timeout", "1",
                     "--quiet")
        assert answer.stderr.endswith(f"failed: {error} [code -12]\n")
        assert sim.received() == []
    finally:
        holder.communicate("")
