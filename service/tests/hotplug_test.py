"""The reader unplugged and plugged back in under another name, with udev's
events coming from a umockdev testbed (run under umockdev-wrapper, so that
the testbed's uevent() calls reach the service's udev monitor).

umockdev's emulated tty refuses the terminal calls the driver makes, so the
device it shows cannot carry the reader's bytes: the service is pointed at
a simulated reader's pseudo-terminal instead through its test-only
STRIPEDRVD_TEST_LINE seam, whatever tty it finds. What is tested is the
finding, the events, the cut and the use under the new name. The
testbed's default ioctl handler (which would answer the driver's termio
calls on that pseudo-terminal with ENOTTY) is removed, so that they reach
the real one.

Usage: umockdev-wrapper python3 hotplug_test.py BINDIR WWWDIR
"""

import os
import shutil
import sys
import time
import unittest

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402
import websocket  # noqa: E402

from field_service import Service, start_reader  # noqa: E402

# What the service answers while no reader is attached.
ABSENT = "no reader is attached: plug it in, and if it stays unseen run 'stripectl doctor'"

BINDIR, WWWDIR = sys.argv[1], sys.argv[2]
del sys.argv[1:3]


def service_env(testbed, line):
    return {"STRIPEDRVD_TEST_LINE": line,
            # set by the testbed in C, not in os.environ
            "UMOCKDEV_DIR": testbed.get_root_dir(),
            # In a sanitizer build: umockdev's preload comes before the
            # AddressSanitizer runtime, which then must not insist on being
            # first.
            "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}


class Hotplug(unittest.TestCase):
    def setUp(self):
        self.testbed = UMockdev.Testbed.new()
        shutil.rmtree(os.path.join(self.testbed.get_root_dir(), "ioctl"), ignore_errors=True)
        self.usb = None
        self.tty = None
        # The simulated reader swipes when told on its standard input.
        self.sim, self.line = start_reader(BINDIR, "--swipe-on-key")

    def tearDown(self):
        if self.service.proc.poll() is None:
            self.service.stop()
        self.sim.terminate()
        self.sim.communicate()

    def plug(self, tty_name, usb_name):
        self.usb = self.testbed.add_device(
            "usb", usb_name, None,
            ["idVendor", "1a86", "idProduct", "7523", "manufacturer", "QinHeng"],
            ["DEVTYPE", "usb_device", "ID_VENDOR_ID", "1a86", "ID_MODEL_ID", "7523"])
        self.tty = self.testbed.add_device(
            "tty", tty_name, self.usb, [], ["DEVNAME", "/dev/" + tty_name])
        self.testbed.uevent(self.tty, "add")

    def unplug(self):
        # The event first: the service must believe it even while sysfs
        # still shows the device.
        tty, usb = self.tty, self.usb
        self.testbed.uevent(tty, "remove")
        self.testbed.remove_device(tty)
        self.testbed.remove_device(usb)

    def swipe(self):
        self.sim.stdin.write("\n")
        self.sim.stdin.flush()

    def swipe_until_answered(self, client, ident, limit=10.0):
        """Swipes until the read answers: the "waiting" event goes out a
        moment before the read command reaches the reader, and a swipe
        before that swipes nothing."""
        end = time.monotonic() + limit
        while True:
            self.swipe()
            try:
                return client.answer_to(ident, limit=0.2)
            except websocket.WebSocketTimeoutException:
                if time.monotonic() > end:
                    raise

    def reader_event(self, client, limit=5.0):
        end = time.monotonic() + limit
        while True:
            message = client.receive(max(0.01, end - time.monotonic()))
            if message.get("event") == "reader":
                return message

    def test_unplug_and_replug_under_another_name(self):
        self.plug("ttyUSB0", "usb1")
        self.service = Service(BINDIR, WWWDIR, ["--reader", "auto"],
                               env=service_env(self.testbed, self.line))
        self.service.wait_present()
        client = self.service.client()
        greeting = client.receive()
        self.assertEqual((greeting["present"], greeting["port"]), (True, "ttyUSB0"))
        self.assertEqual(greeting["firmware"], "Ver5.13.2")

        # A read waits for a swipe; the reader goes meanwhile.
        client.send({"id": 1, "op": "read", "timeout": 30})
        self.assertEqual(client.receive()["event"], "waiting")
        time.sleep(0.2)
        start = time.monotonic()
        self.unplug()
        events = []
        cut = client.answer_to(1, limit=5, events=events)
        self.assertEqual((cut["code"], cut["error"]), (-3, ABSENT))
        self.assertLess(time.monotonic() - start, 2.0)  # cut, not waited out
        if not events:
            events.append(self.reader_event(client))
        self.assertEqual(events, [{"event": "reader", "present": False}])

        # At once while none is attached.
        start = time.monotonic()
        client.send({"id": 2, "op": "read"})
        self.assertEqual(client.answer_to(2)["code"], -3)
        self.assertLess(time.monotonic() - start, 1.0)  # at once, not waited out
        status, _, _ = self.service.http("/api/health")
        self.assertEqual(status, 503)

        # Back, under the kernel's next number: used with no restart.
        self.plug("ttyUSB1", "usb2")
        arrived = self.reader_event(client)
        self.assertEqual((arrived["present"], arrived["port"], arrived["firmware"]),
                         (True, "ttyUSB1", "Ver5.13.2"))
        client.send({"id": 3, "op": "read", "timeout": 10})
        self.assertEqual(client.receive()["event"], "waiting")
        answer = self.swipe_until_answered(client, 3)
        self.assertTrue(answer["ok"], answer)
        status, _, body = self.service.http("/api/health")
        self.assertEqual(status, 200)
        self.assertIn('"port":"ttyUSB1"', body)
        self.service.stop()
        log = "".join(self.service.lines)
        self.assertIn("<5>stripedrvd: reader attached: ttyUSB0 (USB ID 1a86:7523", log)
        self.assertIn("<5>stripedrvd: reader gone: ttyUSB0", log)
        self.assertIn("<5>stripedrvd: reader attached: ttyUSB1", log)

    def test_a_flapping_reader_is_coalesced_without_spinning_or_leaking(self):
        self.plug("ttyUSB0", "usb1")
        self.service = Service(BINDIR, WWWDIR, ["--reader", "auto"],
                               env=service_env(self.testbed, self.line))
        self.service.wait_present()
        client = self.service.client()
        client.receive()
        pid = self.service.proc.pid
        fds_before = len(descriptors(pid))
        cpu_before = cpu_seconds(pid)
        # Ten times a second for two seconds, under changing names.
        for n in range(20):
            self.unplug()
            time.sleep(0.05)
            self.plug("ttyUSB%d" % (n % 3), "usb%d" % (n + 2))
            time.sleep(0.05)
        events = []
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            try:
                message = client.receive(max(0.01, end - time.monotonic()))
            except Exception:
                break
            if message.get("event") == "reader":
                events.append(message)
        # At most one event per 250 ms gap, none repeating the one before.
        self.assertLessEqual(len(events), 2.0 / 0.25 + 2, [(e["present"], e.get("port")) for e in events])
        for before, after in zip([{"present": True, "port": "ttyUSB0"}] + events, events):
            self.assertNotEqual((before["present"], before.get("port")),
                                (after["present"], after.get("port")), events)
        self.assertEqual(events[-1]["present"], True)
        self.assertLess(cpu_seconds(pid) - cpu_before, 1.0)  # no spinning
        # The last line closed is given back a moment later.
        end = time.monotonic() + 10
        while len(descriptors(pid)) > fds_before and time.monotonic() < end:
            time.sleep(0.05)
        self.assertLessEqual(len(descriptors(pid)), fds_before, descriptors(pid))


def descriptors(pid):
    """What the process's descriptors are, but for sockets: under
    umockdev's preload, every open() of the line (once per arrival, for the
    version) leaves an unconnected AF_UNIX stream socket behind in the
    process (ss shows them unbound and unconnected; the service itself
    makes no AF_UNIX stream socket), so sockets are left out; files,
    pipes, event and timer descriptors and the pseudo-terminal are
    counted."""
    found = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if not target.startswith("socket:"):
            found.append(target)
    return found


def cpu_seconds(pid):
    """User and system time of the process, in seconds."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


if __name__ == "__main__":
    unittest.main()
