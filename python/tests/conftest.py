"""Test support: the simulated reader, stripectl and the reader service,
found through the environment CTest sets (READERSIM, STRIPECTL,
STRIPEDRVD; PYTHONPATH names the built package)."""

import os
import re
import subprocess
import tempfile
import time
from typing import Callable, Iterator, List, Optional

import pytest


def program(name: str) -> str:
    path = os.environ.get(name.upper())
    if not path:
        pytest.skip(f"{name.upper()} is not set")
    return path


class Sim:
    """readersim on a pseudo-terminal; ``log()`` is what it wrote to
    standard error (with --hex: every byte it received, as "<- 1B 42 5D")."""

    def __init__(self, *options: str) -> None:
        self._log = tempfile.NamedTemporaryFile("w+", prefix="readersim-", suffix=".log")
        self.process = subprocess.Popen([program("readersim"), "--hex", *options],
                                        stdout=subprocess.PIPE, stderr=self._log, text=True)
        assert self.process.stdout is not None
        self.port = self.process.stdout.readline().strip()
        assert self.port, "readersim gave no port name"

    @property
    def device_path(self) -> str:
        return "/dev/" + self.port

    def log(self) -> str:
        with open(self._log.name) as log:
            return log.read()

    def received(self) -> List[str]:
        """The hex lines of the bytes received so far."""
        return re.findall(r"<- ([0-9A-F ]+)", self.log())

    def wait_for(self, text: str, limit: float = 30.0) -> None:
        deadline = time.monotonic() + limit
        while text not in self.log():
            assert time.monotonic() < deadline, f"readersim never logged {text!r}"
            time.sleep(0.005)

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(5)
        self._log.close()


@pytest.fixture
def sim_factory() -> Iterator[Callable[..., Sim]]:
    started: List[Sim] = []

    def start(*options: str) -> Sim:
        sim = Sim(*options)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


@pytest.fixture
def sim(sim_factory: Callable[..., Sim]) -> Sim:
    """A reader that answers at once, without line pacing."""
    return sim_factory("--no-pacing")


def wait_for(condition: Callable[[], bool], limit: float = 30.0, what: str = "condition") -> None:
    deadline = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < deadline, f"{what} never came true"
        time.sleep(0.005)


def run(*argv: str, stdin: Optional[str] = None) -> "subprocess.CompletedProcess[str]":
    return subprocess.run(argv, capture_output=True, text=True, input=stdin, timeout=60)
