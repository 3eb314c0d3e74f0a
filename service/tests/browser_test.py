#!/usr/bin/python3
"""The demo page in a real browser: Debian's chromium, headless, driven by
chromium-driver through python3-selenium.

It starts the simulated reader and stripedrvd, reads a card from the page
and checks that its tracks and fields appear, then serves the same page from
another origin and checks that its WebSocket is refused.

    browser_test.py BINDIR WWWDIR [--screenshot FILE]
"""
import http.server
import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TRACK2 = "4111111111111111=2901201123"
TRACK3 = "996888886543215533350201=1234"
LIMIT = 20  # seconds for any one thing the page should show

results = {"passed": 0, "failed": 0}


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print(("ok: " if condition else "FAILED: ") + name + ("" if condition else " " + detail),
          flush=True)


def start_reader(bindir):
    sim = subprocess.Popen([os.path.join(bindir, "readersim"), "--quiet",
                            "--track2", TRACK2, "--track3", TRACK3],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = sim.stdout.readline().strip()
    return sim, port


def start_service(bindir, wwwdir, reader, logfile):
    service = subprocess.Popen([os.path.join(bindir, "stripedrvd"), "--reader", reader,
                                "--listen", "127.0.0.1:0", "--static", wwwdir],
                               stdout=subprocess.DEVNULL, stderr=logfile,
                               env=dict(os.environ,
                                        STATE_DIRECTORY=os.path.dirname(logfile.name)))
    deadline = time.monotonic() + LIMIT
    while time.monotonic() < deadline:
        with open(logfile.name) as log:
            found = re.search(r"listening on 127\.0\.0\.1:(\d+)", log.read())
        if found:
            return service, int(found.group(1))
        if service.poll() is not None:
            break
        time.sleep(0.05)
    raise SystemExit("stripedrvd did not start; its log:\n" + open(logfile.name).read())


def start_foreign_site(wwwdir):
    """The same page from another origin (another port is another origin)."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass
    handler = functools.partial(Quiet, directory=wwwdir)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--window-size=900,1000", "--user-data-dir=" + profile):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_for(driver, condition):
    try:
        WebDriverWait(driver, LIMIT, poll_frequency=0.05).until(lambda d: condition(d))
        return True
    except Exception:
        return False


def main():
    bindir, wwwdir = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="stripedrvd-browser-")
    sim = service = driver = foreign = None
    try:
        sim, reader = start_reader(bindir)
        logfile = open(os.path.join(work, "stripedrvd.log"), "w+")
        service, port = start_service(bindir, wwwdir, reader, logfile)
        foreign = start_foreign_site(wwwdir)
        driver = browser(os.path.join(work, "profile"))

        own = "http://127.0.0.1:%d/" % port
        driver.get(own)
        check("the page connects to the service",
              wait_for(driver, lambda d: text_of(d, "connection") == "open"),
              text_of(driver, "connection"))
        driver.find_element(By.ID, "read").click()
        check("a read shows track 2", wait_for(driver, lambda d: text_of(d, "track2") == TRACK2),
              repr(text_of(driver, "track2")))
        check("and track 3", text_of(driver, "track3") == TRACK3, repr(text_of(driver, "track3")))
        fields = text_of(driver, "fields")
        check("and the parsed fields", "411111******1111" in fields and "2901" in fields
              and "valid" in fields, repr(fields))
        check("the page says the read is done", text_of(driver, "state") == "read: done",
              repr(text_of(driver, "state")))
        if screenshot:
            driver.save_screenshot(screenshot)

        other = "http://127.0.0.1:%d/index.html?ws=ws://127.0.0.1:%d/ws" % (
            foreign.server_address[1], port)
        driver.get(other)
        check("a page from another origin fails to connect",
              wait_for(driver, lambda d: text_of(d, "connection") == "closed"
                       and "cannot connect" in text_of(d, "error")),
              repr(text_of(driver, "connection")))
        check("and the service logged the refusal",
              wait_for(driver, lambda d: "refused, Origin \"http://127.0.0.1:%d\"" %
                       foreign.server_address[1] in open(logfile.name).read()),
              open(logfile.name).read())
        log = open(logfile.name).read()
        check("the log holds no track data", TRACK2 not in log and TRACK3 not in log
              and "4111111111111111" not in log, log)
    finally:
        if driver:
            driver.quit()
        if foreign:
            foreign.shutdown()
        for process in (service, sim):
            if process:
                process.terminate()
                process.wait(timeout=LIMIT)
        shutil.rmtree(work, ignore_errors=True)
    print("browser test: %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (results["passed"], results["failed"]))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
