"""Shared by the service's Python tests: the simulated reader and the
service as programs, and a WebSocket client."""

import json
import os
import re
import socket
import subprocess
import time

import websocket


def start_reader(bindir, *extra):
    sim = subprocess.Popen([os.path.join(bindir, "readersim"), "--quiet", *extra],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    port = sim.stdout.readline().strip()
    return sim, port


class Service:
    """stripedrvd on a free loopback port, its standard error kept."""

    def __init__(self, bindir, wwwdir, args, env=None):
        self.proc = subprocess.Popen(
            [os.path.join(bindir, "stripedrvd"), "--listen", "127.0.0.1:0",
             "--static", wwwdir, *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, **(env or {})))
        self.lines = []
        self.port = None
        end = time.monotonic() + 10
        while self.port is None and time.monotonic() < end:
            line = self.proc.stderr.readline()
            if not line:
                break
            self.lines.append(line)
            found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
            if found:
                self.port = int(found.group(1))
        if self.port is None:
            self.proc.kill()
            self.proc.wait()
            raise RuntimeError("stripedrvd did not start: " + "".join(self.lines))

    def wait_present(self, limit=10.0):
        """Waits until the reader has been found and asked for its version."""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            status, _, body = self.http("/api/health")
            if status == 200 and '"firmware":"' in body:
                return
            time.sleep(0.02)
        raise RuntimeError("the reader was not found")

    def stop(self):
        self.proc.terminate()
        # Read on through the pipe's text buffer (communicate() would skip
        # what readline() has buffered already).
        self.lines += self.proc.stderr.readlines()
        self.proc.wait(timeout=10)
        self.proc.stderr.close()
        return self.proc.returncode

    def http(self, target, host=None, origin=None):
        """(status, headers text, body) of one GET."""
        host = host or "127.0.0.1:%d" % self.port
        request = "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n" % (target, host)
        if origin:
            request += "Origin: %s\r\n" % origin
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall((request + "\r\n").encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        head, _, body = data.decode("utf-8", "replace").partition("\r\n\r\n")
        return int(head.split()[1]), head, body

    def client(self):
        return Client(self.port)


class Client:
    def __init__(self, port):
        self.ws = websocket.create_connection("ws://127.0.0.1:%d/ws" % port, timeout=5)

    def send(self, message):
        self.ws.send(json.dumps(message))

    def receive(self, limit=5.0):
        self.ws.settimeout(limit)
        return json.loads(self.ws.recv())

    def answer_to(self, ident, limit=10.0, events=None):
        """The answer with this id; the events met on the way go to events."""
        end = time.monotonic() + limit
        while True:
            message = self.receive(max(0.01, end - time.monotonic()))
            if message.get("id") == ident and "event" not in message:
                return message
            if events is not None:
                events.append(message)

    def close(self):
        self.ws.close()
