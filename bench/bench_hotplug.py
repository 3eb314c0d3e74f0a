"""bench_hotplug: time from udev's remove event to the presence event at a
connected client, the service running inside a umockdev testbed.

Usage: umockdev-wrapper /usr/bin/python3 bench/bench_hotplug.py BINDIR [COUNT]

Each round removes the reader's adapter (the uevent is sent, then the
device leaves the testbed) and measures until the client has
{"event":"reader","present":false}; it is then added again and the arrival
awaited. Rounds are 300 ms apart, beyond the service's 250 ms coalescing
gap, so that each departure is told at once.
"""

import os
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service",
                                "tests"))

import gi  # noqa: E402

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from field_service import Service, start_reader  # noqa: E402

BINDIR = sys.argv[1]
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 50
WWW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service", "www")

testbed = UMockdev.Testbed.new()
shutil.rmtree(os.path.join(testbed.get_root_dir(), "ioctl"), ignore_errors=True)
sim, line = start_reader(BINDIR)


def plug(n):
    usb = testbed.add_device("usb", "usb%d" % n, None, ["idVendor", "1a86", "idProduct", "7523"],
                             ["DEVTYPE", "usb_device"])
    tty = testbed.add_device("tty", "ttyUSB%d" % (n % 4), usb, [],
                             ["DEVNAME", "/dev/ttyUSB%d" % (n % 4)])
    testbed.uevent(tty, "add")
    return usb, tty


def wait_event(client, present):
    while True:
        message = client.receive(5)
        if message.get("event") == "reader" and message["present"] == present:
            return


usb, tty = plug(0)
service = Service(BINDIR, WWW, ["--reader", "auto"],
                  env={"STRIPEDRVD_TEST_LINE": line, "UMOCKDEV_DIR": testbed.get_root_dir()})
service.wait_present()
client = service.client()
client.receive()
times = []
for n in range(1, COUNT + 1):
    time.sleep(0.3)
    start = time.perf_counter()
    testbed.uevent(tty, "remove")
    testbed.remove_device(tty)
    testbed.remove_device(usb)
    wait_event(client, False)
    times.append(time.perf_counter() - start)
    time.sleep(0.3)
    usb, tty = plug(n)
    wait_event(client, True)
service.stop()
sim.terminate()
sim.communicate()
print("udev remove to the client's presence event, %d rounds: median %.2f ms, max %.2f ms"
      % (len(times), statistics.median(times) * 1e3, max(times) * 1e3))
sys.exit(0 if max(times) < 0.1 else 1)
