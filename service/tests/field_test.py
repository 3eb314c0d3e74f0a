"""stripedrvd as a fleet runs it: its /metrics read with Prometheus's own
parser, the priority that starts each log line, and its readiness and
watchdog keep-alives on a NOTIFY_SOCKET of the test's own.

Usage: field_test.py BINDIR WWWDIR
"""

import os
import socket
import sys
import tempfile
import time
import unittest

from prometheus_client.parser import text_string_to_metric_families

from field_service import Service, start_reader

# What the service answers while no reader is attached.
ABSENT = "no reader is attached: plug it in, and if it stays unseen run 'stripectl doctor'"

BINDIR, WWWDIR = sys.argv[1], sys.argv[2]
del sys.argv[1:3]


def samples(text):
    """{(name, frozenset(labels)): value} of a scrape."""
    found = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            found[(sample.name, frozenset(sample.labels.items()))] = sample.value
    return found


class FieldTest(unittest.TestCase):
    def setUp(self):
        # The service is given a link to the simulated reader's line: a
        # freed pseudo-terminal number is soon reused by another test's
        # reader, while the link goes with the simulated reader.
        self.reader = "shm/stripedrvd-field-%d" % os.getpid()
        self.sim, _ = start_reader(BINDIR, "--link", "/dev/" + self.reader)
        self.tmp = tempfile.TemporaryDirectory()
        self.notify_path = os.path.join(self.tmp.name, "notify")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.notify_path)
        self.notify.settimeout(5)
        self.service = Service(BINDIR, WWWDIR, ["--reader", self.reader],
                               env={"NOTIFY_SOCKET": self.notify_path,
                                    "WATCHDOG_USEC": "200000"})
        self.service.wait_present()

    def tearDown(self):
        if self.service.proc.poll() is None:
            self.service.stop()
        self.sim.terminate()
        self.sim.communicate()
        self.notify.close()
        self.tmp.cleanup()

    def notifications(self, until):
        got = []
        while until not in "".join(got):
            got.append(self.notify.recv(4096).decode())
        return "".join(got)

    def test_ready_once_listening_then_watchdog_keep_alives(self):
        first = self.notify.recv(4096).decode()
        self.assertIn("READY=1", first.split("\n"))
        # The port is in the log before READY=1 is sent: it listens already.
        status, _, _ = self.service.http("/api/health")
        self.assertEqual(status, 200)
        # Half the watchdog's period: several keep-alives in half a second.
        start = time.monotonic()
        beats = 0
        while beats < 3:
            if "WATCHDOG=1" in self.notify.recv(4096).decode():
                beats += 1
        self.assertLess(time.monotonic() - start, 2.0)
        self.service.stop()
        self.assertIn("STOPPING=1", self.notifications("STOPPING=1"))

    def test_metrics_count_exactly_the_transactions_and_hold_no_track_data(self):
        before = samples(self.service.http("/metrics")[2])
        client = self.service.client()
        self.assertEqual(client.receive()["event"], "reader")
        for ident in range(3):
            client.send({"id": ident, "op": "read", "timeout": 5})
            self.assertTrue(client.answer_to(ident)["ok"])
        client.send({"id": "i", "op": "info"})
        self.assertTrue(client.answer_to("i")["ok"])
        status, head, text = self.service.http("/metrics")
        self.assertEqual(status, 200)
        self.assertIn("text/plain; version=0.0.4", head)
        self.assertNotIn("Access-Control", head)
        after = samples(text)

        def moved(name, **labels):
            key = (name, frozenset(labels.items()))
            return after.get(key, 0) - before.get(key, 0)

        self.assertEqual(moved("stripedrvd_transactions_total", op="read", code="0"), 3)
        self.assertEqual(moved("stripedrvd_transactions_total", op="info", code="0"), 1)
        self.assertEqual(moved("stripedrvd_transaction_duration_seconds_count"), 4)
        self.assertEqual(after[("stripedrvd_reader_present", frozenset())], 1)
        self.assertEqual(after[("stripedrvd_clients", frozenset())], 1)
        self.assertEqual(after[("stripedrvd_reader_arrivals_total", frozenset())], 1)
        # The card's tracks (and any part of them) appear nowhere.
        for track in ("222233021234567654321", "996888886543215533350201", "44212038899913311"):
            self.assertNotIn(track, text)
        for name, labels in after:
            for key, value in labels:
                self.assertRegex(value, r"^(-?\d+|other|read|write|info|host|origin|user|"
                                        r"user_unknown|connection_limit|[0-9.e+]+|\+Inf)$", (name, key))

    def test_foreign_host_and_foreign_origin_are_refused(self):
        self.assertEqual(self.service.http("/metrics", host="attacker.example")[0], 403)
        self.assertEqual(self.service.http("/metrics", origin="http://attacker.example")[0], 403)
        own = "http://127.0.0.1:%d" % self.service.port
        self.assertEqual(self.service.http("/metrics", origin=own)[0], 200)

    def test_health_turns_503_when_the_reader_goes_and_log_lines_carry_priorities(self):
        status, _, body = self.service.http("/api/health")
        self.assertEqual(status, 200)
        client = self.service.client()
        client.receive()
        self.sim.terminate()
        self.sim.wait()
        client.send({"id": 1, "op": "read", "timeout": 5})
        answer = client.answer_to(1)
        self.assertEqual((answer["code"], answer["error"]), (-3, ABSENT))
        status, _, body = self.service.http("/api/health")
        self.assertEqual(status, 503)
        self.assertIn('"present":false', body)
        client.close()
        self.service.stop()
        lines = self.service.lines
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, r"^<[3-6]>stripedrvd: ", line)
        # What a person must see (journalctl -p warning) and what not.
        self.assertTrue(any(l.startswith("<5>") and "reader gone" in l for l in lines))
        self.assertTrue(any(l.startswith("<6>") and "connection" in l for l in lines))


if __name__ == "__main__":
    unittest.main()
