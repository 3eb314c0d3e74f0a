#!/usr/bin/python3
"""Figure 8: a read through the Python binding against a direct MS_ReadCard,
and against a pyserial script that keeps the port open.

    bench_python.py [--count N] [--short]     (PYTHONPATH=<build>/python,
                                               READERSIM=<build>/bin/readersim)

All three read tracks 2 and 3 of the console's default card at 115200 baud
from one paced simulated reader, alternating, in this one process (one of
each first to warm up):

- binding: stripedrv.Reader.read on the main thread (the driver call on a
  worker thread, the main thread waiting for it and for signals);
- direct: MS_ReadCard of the same stripedrv.so through ctypes (which lets go
  of the GIL and costs a few microseconds of its own);
- pyserial: the same exchange (ESC "B]", the reply up to FS, ESC "j", the
  status) over a port opened once, as the stripe scripts users write do.

Then the binding and the direct call again against an unpaced reader, where
little but the call's own cost is left. Prints medians, minimum-maximum, the
median of the paired differences (each binding read against the direct read
and the pyserial read made right after it), and OK when the binding adds
under 0.1 ms (paired, paced) and is not slower than pyserial by more than the
open and close of a transaction (1 ms).
"""

import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import time
from typing import Callable, Dict, List

import stripedrv

BAUD = 115200
try:
    import serial  # Debian's python3-serial
except ImportError:
    serial = None


def start_readersim(*options: str) -> "tuple[subprocess.Popen[str], str]":
    sim = subprocess.Popen([os.environ.get("READERSIM", "readersim"), "--quiet", *options],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert sim.stdout is not None
    return sim, sim.stdout.readline().strip()


def driver() -> ctypes.CDLL:
    # The copy the extension already loaded (its NEEDED entry).
    lib = ctypes.CDLL("stripedrv.so.0")
    lib.MS_ReadCard.argtypes = [ctypes.c_char_p, ctypes.c_char_p] + [ctypes.c_int] * 4 + \
        [ctypes.c_char_p, ctypes.c_char_p]
    return lib


def direct_read(lib: ctypes.CDLL, port: str) -> Callable[[], None]:
    name = port.encode()

    def read() -> None:
        t2 = ctypes.create_string_buffer(256)
        t3 = ctypes.create_string_buffer(256)
        assert lib.MS_ReadCard(name, b"", BAUD, 5, 23, 0, t2, t3) == 0 and t2.value
    return read


def binding_read(port: str) -> Callable[[], None]:
    reader = stripedrv.Reader(port, baud=BAUD)

    def read() -> None:
        assert reader.read(tracks=23, timeout=5).track2
    return read


def pyserial_read(port: str) -> Callable[[], None]:
    line = serial.Serial("/dev/" + port, BAUD, timeout=5)

    def until(stop: Callable[[bytes], bool]) -> bytes:
        data = b""
        while not stop(data):
            chunk = line.read(max(1, line.in_waiting))
            assert chunk, "the reader did not answer"
            data += chunk
        return data

    def read() -> None:
        line.write(b"\x1bB]")
        reply = until(lambda d: d.endswith(b"\x1c"))
        line.write(b"\x1bj")
        status = until(lambda d: b"\x1b" in d and d.rstrip(b"\x1c").endswith((b"p", b"q")))
        tracks = reply[reply.index(b"s") + 1:-2].replace(b"'", b"=")
        assert tracks and status.endswith(b"Brp")
    return read


def measure(calls: Dict[str, Callable[[], None]], count: int) -> Dict[str, List[float]]:
    times: Dict[str, List[float]] = {name: [] for name in calls}
    for name, call in calls.items():
        call()  # warm up
    for _ in range(count):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            times[name].append((time.perf_counter() - started) * 1000)
    return times


def show(title: str, times: Dict[str, List[float]]) -> Dict[str, float]:
    print(title)
    medians = {}
    for name, values in times.items():
        medians[name] = statistics.median(values)
        print(f"  {name:9s} median {medians[name]:7.3f} ms  ({min(values):.3f}-{max(values):.3f})")
    return medians


def paired(times: Dict[str, List[float]], first: str, second: str) -> float:
    """The median of the differences between reads made one after the
    other: the load of a shared machine, which moves both, drops out."""
    return statistics.median(a - b for a, b in zip(times[first], times[second]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--short", action="store_true", help="a few reads: does it work?")
    args = parser.parse_args()
    count = 3 if args.short else args.count
    if serial is None:
        print("python3-serial is missing: SKIP")
        return 77
    lib = driver()

    sim, port = start_readersim()
    try:
        paced_times = measure({
            "binding": binding_read(port), "direct": direct_read(lib, port),
            "pyserial": pyserial_read(port)}, count)
        paced = show(f"paced reader, {BAUD} baud, {count} reads each:", paced_times)
    finally:
        sim.terminate()
        sim.wait()
    sim, port = start_readersim("--no-pacing")
    try:
        unpaced_times = measure({
            "binding": binding_read(port), "direct": direct_read(lib, port)}, count)
        show(f"unpaced reader, {count} reads each:", unpaced_times)
    finally:
        sim.terminate()
        sim.wait()

    added = paired(paced_times, "binding", "direct")
    over_pyserial = paired(paced_times, "binding", "pyserial")
    print(f"binding - direct: {paced['binding'] - paced['direct']:+.3f} ms between medians, "
          f"{added:+.3f} ms median of the paired differences (goal: under 0.1 ms); "
          f"unpaced {paired(unpaced_times, 'binding', 'direct'):+.3f} ms")
    print(f"binding - pyserial: {paced['binding'] - paced['pyserial']:+.3f} ms between medians, "
          f"{over_pyserial:+.3f} ms paired (goal: at most the open and close, 1 ms)")
    ok = args.short or (added < 0.1 and over_pyserial < 1.0)
    print("OK" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
