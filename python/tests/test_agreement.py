"""The binding, stripectl and the reader service say the same thing: the
same sentence for every failure the simulated reader brings about, the same
fields for a table of track-2 texts. (All three take them from the shared
code; this checks that each passes them on unchanged.)"""

import base64
import dataclasses
import json
import os
import re
import socket
import struct
import subprocess
import tempfile
import time
from typing import Any, Callable, Dict, Iterator, Optional, Tuple

import pytest

import stripedrv

from conftest import Sim, program, run


class Service:
    """stripedrvd on a free loopback port, serving one reader, with a
    minimal WebSocket client (text frames only)."""

    def __init__(self, reader_port: str) -> None:
        self._log = tempfile.NamedTemporaryFile("w+", prefix="stripedrvd-", suffix=".log")
        self.process = subprocess.Popen(
            [program("stripedrvd"), "--reader", reader_port, "--listen", "127.0.0.1:0"],
            stdout=subprocess.DEVNULL, stderr=self._log)
        deadline = time.monotonic() + 10
        found = None
        while found is None:
            assert time.monotonic() < deadline and self.process.poll() is None, \
                "stripedrvd did not start"
            time.sleep(0.02)
            with open(self._log.name) as log:
                found = re.search(r"listening on 127\.0\.0\.1:(\d+)", log.read())
        port = int(found.group(1))
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                             f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                             f"Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.socket.recv(1)
        assert head.startswith(b"HTTP/1.1 101"), head

    def _exactly(self, count: int) -> bytes:
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            assert chunk, "stripedrvd closed the connection"
            data += chunk
        return data

    def ask(self, request: Dict[str, Any]) -> Dict[str, Any]:
        """Sends the request; the answer with its id (events skipped)."""
        payload = json.dumps(request).encode()
        mask = os.urandom(4)
        assert len(payload) < 126
        self.socket.sendall(bytes([0x81, 0x80 | len(payload)]) + mask +
                            bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        while True:
            first, second = self._exactly(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack("!H", self._exactly(2))[0]
            elif length == 127:
                length = struct.unpack("!Q", self._exactly(8))[0]
            message = self._exactly(length)
            if first & 0x0F != 1:
                continue
            answer: Dict[str, Any] = json.loads(message)
            if "event" not in answer:
                return answer

    def stop(self) -> None:
        self.socket.close()
        self.process.terminate()
        self.process.wait(5)
        self._log.close()


@pytest.fixture
def service_for() -> Iterator[Callable[[Sim], Service]]:
    started = []

    def start(sim: Sim) -> Service:
        started.append(Service(sim.port))
        return started[-1]

    yield start
    for service in started:
        service.stop()


def stripectl_json(*argv: str) -> Dict[str, Any]:
    answer = run(program("stripectl"), *argv, "--json", "--quiet")
    result: Dict[str, Any] = json.loads(answer.stdout)
    return result


def stripectl_failure(*argv: str) -> Tuple[int, str]:
    """The code and sentence of stripectl's "...failed: SENTENCE [code N]"."""
    answer = run(program("stripectl"), *argv, "--quiet")
    found = re.search(r"failed: (.*) \[code (-?\d+)\]$", answer.stderr, re.MULTILINE)
    assert found, answer.stderr
    return int(found.group(2)), found.group(1)


def binding_error(call: Callable[[], object]) -> Optional[stripedrv.StripeError]:
    try:
        call()
    except stripedrv.StripeError as error:
        return error
    return None


# readersim options, the operation, its code.
SCENARIOS = [
    (["--error-byte", "B"], "read", 21),
    (["--error-byte", "0"], "read", 48),
    (["--status", "rq"], "write", -5),
]


@pytest.mark.parametrize("options, op, code", SCENARIOS, ids=[s[0][1] for s in SCENARIOS])
def test_the_same_sentence_for_a_failure(sim_factory: Callable[..., Sim],
                                         service_for: Callable[[Sim], Service],
                                         options: list, op: str, code: int) -> None:
    sim = sim_factory("--no-pacing", *options)
    reader = stripedrv.Reader(sim.port)
    if op == "read":
        error = binding_error(lambda: reader.read(timeout=2))
        request: Dict[str, Any] = {"id": 1, "op": "read", "timeout": 2}
        argv = ["read", "--port", sim.port, "--timeout", "2"]
    else:
        error = binding_error(lambda: reader.write(track2="1234", tracks=2, timeout=2))
        request = {"id": 1, "op": "write", "track2": "1234", "tracks": 2, "timeout": 2}
        argv = ["write", "--port", sim.port, "--timeout", "2", "--track2", "1234"]
    assert error is not None and error.code == code
    by_service = service_for(sim).ask(request)
    assert stripectl_failure(*argv) == (code, str(error))
    assert (by_service["code"], by_service["error"]) == (code, str(error))


def test_the_same_sentence_for_a_port_that_cannot_be_opened() -> None:
    # A port that goes away after the Reader was made (a missing one is
    # refused when it is made).
    with tempfile.NamedTemporaryFile(prefix="sd-gone-") as gone:
        port = os.path.relpath(gone.name, "/dev")
        reader = stripedrv.Reader(port)
    error = binding_error(lambda: reader.read(timeout=1))
    assert error is not None
    assert stripectl_failure("read", "--port", port, "--timeout", "1") == (-3, error.message)


TRACK2_TEXTS = [
    "4111111111111111=29012011234",      # a payment card, check digit right
    "4111111111111112=29012011234",      # check digit wrong
    "123456789012=2912101",              # the shortest account number
    "1234567890123456789=2912101",       # the longest
    "12345678901=2912101",               # too short an account number
    "4111111111111111=29132011234",      # month 13
    "4111111111111111=2901",             # no service code
    ";4111111111111111=29012011234?",    # with the sentinels
    "4111111111111111=290120112345678901234",  # longer than a track 2 holds
    "41111111111111:1=29012011234",      # a character other than a digit
]


def test_the_same_track2_fields(sim: Sim, service_for: Callable[[Sim], Service]) -> None:
    reader = stripedrv.Reader(sim.port)
    service = service_for(sim)
    for text in TRACK2_TEXTS:
        reader.write(track2=text, timeout=2)
        card = reader.read(tracks=2, timeout=2)
        assert card.track2 == text
        by_binding = dataclasses.asdict(card.fields) if card.fields else None
        by_stripectl = stripectl_json("read", "--port", sim.port, "--tracks", "2",
                                      "--timeout", "2", "--decode").get("track2_fields")
        by_service = service.ask({"id": 2, "op": "read", "tracks": 2,
                                  "timeout": 2}).get("track2_fields")
        assert by_binding == by_stripectl == by_service, text
    assert sum(1 for t in TRACK2_TEXTS if stripedrv.Track2Fields.parse(t)) >= 4
