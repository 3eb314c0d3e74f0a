#!/usr/bin/python3
"""Card data in custody: a known card is read through the library (a host
process), stripectl, the reader service (a WebSocket client) and the Python
binding; then each process's writable memory (/proc/PID/mem over the
writable mappings of /proc/PID/maps) is searched for the card's account
number, and so are the service's log, its state directory, the working
directory and what was written to /tmp meanwhile. Ours must hold no copy:
only the caller's own result does. stripectl and the service must refuse a
core dump.

Reading another process's memory needs root (or ptrace rights over it: our
programs make themselves non-dumpable). The programs come from the
environment: READERSIM, STRIPECTL, STRIPEDRVD, CUSTODY_HOST, CUSTODY_HOLD
(the preloaded library that stops a program at its exit), and PYTHONPATH
with the binding when it is built. With --report the counts are printed and
nothing is judged (to measure a tree before a change)."""

import argparse
import base64
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional, Tuple

PAN = b"4917730582649030"  # Luhn-valid, found in no file of the tree
TRACK2 = "4917730582649030=29121015550000012"
TRACK3 = "996174305921=88000000000000000000"
LIMIT = 20.0  # seconds for any one thing the test waits for


def disguised(text: str) -> str:
    """The text with each digit d as the letter 'a' + d: a program told what
    to expect must not hold the digits itself."""
    return "".join(chr(ord("a") + int(c)) if c.isdigit() else c for c in text)


def wait_until(condition, what: str) -> None:
    deadline = time.monotonic() + LIMIT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {LIMIT:.0f} s")
        time.sleep(0.005)


# --- searching --------------------------------------------------------------

LARGEST_REGION = 1 << 30  # sanitizer shadow memory is reserved, not used
CHUNK = 16 << 20


def copies_in_memory(pid: int) -> int:
    regions: List[Tuple[int, int]] = []
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            name = fields[5] if len(fields) > 5 else ""
            if "w" not in fields[1] or name in ("[vvar]", "[vsyscall]"):
                continue
            if end - start <= LARGEST_REGION:
                regions.append((start, end))
    count = 0
    with open(f"/proc/{pid}/mem", "rb", 0) as mem:
        for start, end in regions:
            tail = b""
            at = start
            while at < end:
                size = min(CHUNK, end - at)
                try:
                    mem.seek(at)
                    data = tail + mem.read(size)
                except OSError:
                    tail = b""
                    at += size
                    continue
                count += data.count(PAN)
                tail = data[-(len(PAN) - 1):]
                at += size
    return count


def copies_in_files(root: str, since: float, skip: Tuple[str, ...] = ()) -> Dict[str, int]:
    found: Dict[str, int] = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for name in files:
            path = os.path.join(folder, name)
            try:
                st = os.lstat(path)
                if not os.path.isfile(path) or os.path.islink(path) or st.st_mtime < since:
                    continue
                if st.st_size > (64 << 20):
                    continue
                with open(path, "rb") as f:
                    n = f.read().count(PAN)
            except OSError:
                continue
            if n:
                found[path] = n
    return found


def core_limit(pid: int) -> str:
    with open(f"/proc/{pid}/limits") as limits:
        for line in limits:
            if line.startswith("Max core file size"):
                return " ".join(line.split()[4:6])
    return "?"


def stopped(pid: int) -> bool:
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] in ("T", "t")


def abort_dumps_core(pid: int) -> bool:
    """Ends a child with SIGABRT; True when the kernel wrote a core."""
    os.kill(pid, signal.SIGABRT)
    os.kill(pid, signal.SIGCONT)
    _, status = os.waitpid(pid, 0)
    return os.WIFSIGNALED(status) and os.WCOREDUMP(status)


def allow_cores() -> None:
    # The harshest start: a core limit that allows every dump, so that a
    # program that does not refuse one would write it.
    hard = resource.getrlimit(resource.RLIMIT_CORE)[1]
    resource.setrlimit(resource.RLIMIT_CORE, (hard, hard))


# --- a WebSocket client, just enough for one request -----------------------

def ws_connect(port: int) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=LIMIT)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        piece = sock.recv(1)
        assert piece, "the service closed the connection in the handshake"
        head += piece
    assert head.startswith(b"HTTP/1.1 101"), head.decode(errors="replace")
    return sock


def ws_send(sock: socket.socket, text: str, opcode: int = 1) -> None:
    payload = text.encode()
    mask = os.urandom(4)
    assert len(payload) < 126
    frame = bytes([0x80 | opcode, 0x80 | len(payload)]) + mask
    sock.sendall(frame + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def recv_exact(sock: socket.socket, n: int) -> bytes:
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        assert piece, "the service closed the connection"
        data += piece
    return data


def ws_receive(sock: socket.socket) -> str:
    first, second = recv_exact(sock, 2)
    size = second & 0x7F
    if size == 126:
        size = int.from_bytes(recv_exact(sock, 2), "big")
    elif size == 127:
        size = int.from_bytes(recv_exact(sock, 8), "big")
    return recv_exact(sock, size).decode()


# --- the four holders -------------------------------------------------------

class Run:
    def __init__(self, top: str, report: bool) -> None:
        self.top = top
        self.work = os.path.join(top, "work")
        self.state = os.path.join(top, "state")
        os.makedirs(self.work)
        self.report = report
        self.counts: Dict[str, int] = {}
        self.problems: List[str] = []
        self.children: List[subprocess.Popen] = []

    def check(self, ok: bool, what: str) -> None:
        if not ok:
            self.problems.append(what)

    def popen(self, argv: List[str], **kw) -> subprocess.Popen:
        child = subprocess.Popen(argv, cwd=self.work, preexec_fn=allow_cores, **kw)
        self.children.append(child)
        return child

    def end_children(self) -> None:
        for child in self.children:
            if child.returncode is None:
                try:
                    os.kill(child.pid, signal.SIGKILL)
                    os.waitpid(child.pid, 0)
                except (ProcessLookupError, ChildProcessError):
                    pass

    def library(self, port: str) -> None:
        host = self.popen([os.environ["CUSTODY_HOST"], port, disguised(TRACK2)],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = host.stdout.readline().split()
        self.check(line == ["read", "0", "match"], f"library host: {line}")
        self.counts["library host"] = copies_in_memory(host.pid)
        host.stdin.close()
        host.wait(LIMIT)

    def stripectl(self, port: str) -> None:
        env = dict(os.environ, LD_PRELOAD=os.environ["CUSTODY_HOLD"], CUSTODY_HOLD_AT_EXIT="1")
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        out = os.path.join(self.top, "stripectl.out")
        with open(out, "w") as sink:
            ctl = self.popen([os.environ["STRIPECTL"], "read", "--port", port, "--timeout", "5"],
                             stdout=sink, stderr=subprocess.DEVNULL, env=env)
        wait_until(lambda: stopped(ctl.pid), "stripectl stopped at its end")
        self.counts["stripectl"] = copies_in_memory(ctl.pid)
        self.check(core_limit(ctl.pid) == "0 0", f"stripectl core limit {core_limit(ctl.pid)}")
        self.check(not abort_dumps_core(ctl.pid), "stripectl dumped core on SIGABRT")
        with open(out) as printed:
            text = printed.read()
        os.unlink(out)  # the caller's own result
        self.check(f"track2: {TRACK2}" in text, f"stripectl printed {text!r}")

    def service(self, port: str) -> None:
        log_path = os.path.join(self.top, "stripedrvd.log")
        env = dict(os.environ, STATE_DIRECTORY=self.state, HOME=os.path.join(self.top, "home"))
        with open(log_path, "w") as log:
            svc = self.popen([os.environ["STRIPEDRVD"], "--reader", port, "--listen",
                              "127.0.0.1:0", "--static", self.top], stderr=log, env=env)

        def log_text() -> str:
            with open(log_path) as log:
                return log.read()

        wait_until(lambda: "listening on 127.0.0.1:" in log_text(), "the service listening")
        listen = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", log_text()).group(1))
        sock = ws_connect(listen)
        ws_send(sock, json.dumps({"id": 1, "op": "read", "tracks": 23, "timeout": 5}))
        answer: Optional[dict] = None
        while answer is None:
            message = json.loads(ws_receive(sock))
            if message.get("id") == 1 and "ok" in message:
                answer = message
        self.check(answer.get("track2") == TRACK2, f"service answered {answer}")
        answer = None  # the client's own result, dropped
        ws_send(sock, "", opcode=8)
        sock.close()
        wait_until(lambda: "closed" in log_text(), "the service closing the connection")
        self.counts["stripedrvd"] = copies_in_memory(svc.pid)
        self.check(core_limit(svc.pid) == "0 0", f"stripedrvd core limit {core_limit(svc.pid)}")
        self.check(not abort_dumps_core(svc.pid), "stripedrvd dumped core on SIGABRT")

    def python(self, port: str) -> None:
        code = ("import sys, stripedrv\n"
                "card = stripedrv.Reader(sys.argv[1]).read(tracks=23, timeout=5)\n"
                "d = sys.argv[2]\n"
                "ok = len(card.track2) == len(d) and all(\n"
                "    c == (chr(ord('0') + ord(e) - ord('a')) if 'a' <= e <= 'j' else e)\n"
                "    for c, e in zip(card.track2, d))\n"
                "print('read', 0, 'match' if ok else 'differs', flush=True)\n"
                "sys.stdin.read()\n")
        py = self.popen(["/usr/bin/python3", "-c", code, port, disguised(TRACK2)],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = py.stdout.readline().split()
        self.check(line == ["read", "0", "match"], f"python: {line}")
        self.counts["python"] = copies_in_memory(py.pid)
        py.stdin.close()
        py.wait(LIMIT)


def binding_built() -> bool:
    return subprocess.run(["/usr/bin/python3", "-c", "from stripedrv import Reader"],
                          stderr=subprocess.DEVNULL).returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--report", action="store_true", help="print the counts, judge nothing")
    # The Python caller's own: Card.track2 (a str), and the bytes object the
    # binding hands to Python, which decodes it and frees it unwiped (both
    # immutable, see python/README.md).
    parser.add_argument("--python-allowed", type=int, default=2,
                        help="copies the Python caller's own objects hold")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("custody test: skipped, reading other processes' memory needs root")
        return 0
    since = time.time() - 1
    with tempfile.TemporaryDirectory(prefix="custody-") as top:
        run = Run(top, args.report)
        sim = subprocess.Popen([os.environ["READERSIM"], "--no-pacing", "--quiet",
                                "--track2", TRACK2, "--track3", TRACK3],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            port = sim.stdout.readline().strip()
            run.library(port)
            run.stripectl(port)
            run.service(port)
            if binding_built():
                run.python(port)
            else:
                print("custody test: the Python binding is not built here, left out")
            files = copies_in_files(top, since)
            files.update(copies_in_files("/tmp", since, skip=(top,)))
        finally:
            run.end_children()
            sim.terminate()
            sim.wait(LIMIT)
    for holder, n in run.counts.items():
        print(f"{holder:14} {n} cop{'y' if n == 1 else 'ies'} of the account number in memory")
    for path, n in files.items():
        print(f"{path}: {n}")
    print(f"files          {sum(files.values())} copies")
    if args.report:
        return 0
    for holder, n in run.counts.items():
        allowed = args.python_allowed if holder == "python" else 0
        run.check(n <= allowed, f"{holder}: {n} copies in memory, {allowed} allowed")
    run.check(not files, f"copies in files: {files}")
    for problem in run.problems:
        print("FAILED:", problem)
    return 1 if run.problems else 0


if __name__ == "__main__":
    sys.exit(main())
