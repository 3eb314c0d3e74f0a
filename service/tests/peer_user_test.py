"""Only the service's own user (and those named with --allow-user) open the
WebSocket: a client started as another user (setpriv --reuid) is refused
with 403 and a notice-level log line naming its uid, while the service's
own user reads a card; health and metrics answer both.

Needs root (setpriv changes the client's user); skipped otherwise.

Usage: peer_user_test.py BINDIR WWWDIR
"""

import json
import os
import shutil
import subprocess
import sys
import unittest

from prometheus_client.parser import text_string_to_metric_families

from field_service import Service, start_reader

BINDIR, WWWDIR = sys.argv[1], sys.argv[2]
del sys.argv[1:3]

OTHER = 65534  # nobody

# The other user's client, given on the command line (the source tree need
# not be readable by that user). Prints one JSON line.
CLIENT = r'''
import json, socket, sys
port, mode, arg = int(sys.argv[1]), sys.argv[2], sys.argv[3]

def exchange(request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(request.encode())
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    head, _, body = data.decode("utf-8", "replace").partition("\r\n\r\n")
    return int(head.split()[1]), body

host = "Host: 127.0.0.1:%d\r\n" % port
if mode == "upgrades":
    answers = [exchange("GET /ws HTTP/1.1\r\n" + host + "Upgrade: websocket\r\n"
                        "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
               for _ in range(int(arg))]
    print(json.dumps({"statuses": [a[0] for a in answers], "body": answers[0][1]}))
elif mode == "get":
    status, body = exchange("GET " + arg + " HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n")
    print(json.dumps({"status": status}))
elif mode == "read":
    import websocket
    ws = websocket.create_connection("ws://127.0.0.1:%d/ws" % port, timeout=10)
    greeting = json.loads(ws.recv())
    ws.send(json.dumps({"id": 1, "op": "read", "timeout": 5}))
    while True:
        answer = json.loads(ws.recv())
        if answer.get("id") == 1 and "event" not in answer:
            break
    ws.close()
    print(json.dumps({"greeting": greeting, "answer": answer}))
'''


def as_other_user(port, mode, arg=""):
    """Runs the client as the other user; its JSON line."""
    out = subprocess.run(
        ["setpriv", "--reuid=%d" % OTHER, "--regid=%d" % OTHER, "--clear-groups",
         "/usr/bin/python3", "-c", CLIENT, str(port), mode, str(arg)],
        capture_output=True, text=True, timeout=60, cwd="/", check=True)
    return json.loads(out.stdout)


def refusals(service, reason):
    text = service.http("/metrics")[2]
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            if (sample.name == "stripedrvd_handshakes_refused_total" and
                    sample.labels.get("reason") == reason):
                return sample.value
    return None


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                     "needs root and setpriv: the other user's client runs under setpriv --reuid")
class PeerUserTest(unittest.TestCase):
    def start(self, *extra):
        self.reader = "shm/stripedrvd-peer-%d" % os.getpid()
        self.sim, _ = start_reader(BINDIR, "--link", "/dev/" + self.reader)
        self.service = Service(BINDIR, WWWDIR, ["--reader", self.reader, "--config", "/dev/null",
                                                *extra])
        self.service.wait_present()

    def tearDown(self):
        if self.service.proc.poll() is None:
            self.service.stop()
        self.sim.terminate()
        self.sim.communicate()

    def own_read(self, ident):
        client = self.service.client()
        self.assertEqual(client.receive()["event"], "reader")
        client.send({"id": ident, "op": "read", "timeout": 5})
        answer = client.answer_to(ident)
        client.close()
        return answer

    def test_another_user_is_refused_while_the_own_user_reads(self):
        self.start()
        other = as_other_user(self.service.port, "upgrades", 1)
        self.assertEqual(other["statuses"], [403])
        self.assertIn("user %d may not use the reader" % OTHER, other["body"])
        self.assertIn("--allow-user", other["body"])
        self.assertTrue(self.own_read(1)["ok"])
        # Health and metrics hold no card data: open to every local user.
        self.assertEqual(as_other_user(self.service.port, "get", "/api/health")["status"], 200)
        self.assertEqual(as_other_user(self.service.port, "get", "/metrics")["status"], 200)
        self.assertEqual(self.service.http("/api/health")[0], 200)
        self.assertEqual(refusals(self.service, "user"), 1)
        self.assertEqual(refusals(self.service, "user_unknown"), 0)
        self.service.stop()
        lines = [l for l in self.service.lines if "refused a WebSocket" in l]
        self.assertEqual(len(lines), 1, self.service.lines)
        self.assertRegex(lines[0], r"^<5>stripedrvd: connection \d+ from 127\.0\.0\.1:\d+: "
                                   r"refused a WebSocket: user %d is not allowed" % OTHER)

    def test_allow_user_lets_the_other_user_read(self):
        self.start("--allow-user", "nobody")
        other = as_other_user(self.service.port, "read")
        self.assertEqual(other["greeting"]["event"], "reader")
        self.assertTrue(other["answer"]["ok"], other)
        self.assertTrue(self.own_read(2)["ok"])
        self.assertEqual(refusals(self.service, "user"), 0)

    def test_200_refused_connects_leave_the_own_users_read_alone(self):
        self.start()
        flood = subprocess.Popen(
            ["setpriv", "--reuid=%d" % OTHER, "--regid=%d" % OTHER, "--clear-groups",
             "/usr/bin/python3", "-c", CLIENT, str(self.service.port), "upgrades", "200"],
            stdout=subprocess.PIPE, text=True, cwd="/")
        # Reads while the refusals come; each must succeed (their time is
        # measured in bench/bench_peer_user, not judged here).
        for ident in range(3):
            self.assertTrue(self.own_read(10 + ident)["ok"])
        out, _ = flood.communicate(timeout=60)
        self.assertEqual(json.loads(out)["statuses"], [403] * 200)
        self.assertTrue(self.own_read(20)["ok"])
        self.assertEqual(refusals(self.service, "user"), 200)
        self.service.stop()
        # The refusals are logged within the rate limit (the rest counted).
        logged = [l for l in self.service.lines if "refused a WebSocket" in l]
        self.assertGreaterEqual(len(logged), 1)
        self.assertLess(len(logged), 200)


if __name__ == "__main__":
    unittest.main()
