#!/usr/bin/python3
"""The demo page in a real browser: Debian's chromium, headless, driven by
chromium-driver through python3-selenium. The page talks to the service
through the client module, stripedrv-client.js.

It starts the simulated reader and stripedrvd, then:
 (a) reads a card from the page the service serves, and checks that its
     tracks and fields appear;
 (b) serves the page over https from a second local server, standing for a
     kiosk's own front-end on a public address (Chromium's Local Network
     Access then applies), allowed with --allow-origin: with a managed
     policy that lets the origin reach loopback, it reads a card; without
     it, the client's error names Local Network Access at once;
 (c) serves it from an origin the service does not allow, and checks the
     client's "origin not allowed" error and the service's log.

    browser_test.py BINDIR WWWDIR [--screenshot FILE]

The managed policy is a file in /etc/chromium/policies/managed/ (Chromium
on Linux has no other place for it): written only when running as root,
removed afterwards; (b) is skipped otherwise.
"""
import functools
import http.server
import json
import os
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

TRACK2 = "4111111111111111=2901201123"
TRACK3 = "996888886543215533350201=1234"
LIMIT = 20  # seconds for any one thing the page should show
KIOSK = "kiosk.test"  # the kiosk's own host name, mapped to 127.0.0.1
POLICY_DIR = "/etc/chromium/policies/managed"
# One file a run: another run at the same time keeps its own.
POLICY_FILE = os.path.join(POLICY_DIR, "stripedrvd-browser-test-%d.json" % os.getpid())
# The notice the service logs for a connection that closes without a
# request (what a Local Network Access block leaves in the journal).
NOTICE = re.compile(r"<5>stripedrvd: connection \d+ from 127\.0\.0\.1:\d+: closed without a request")

results = {"passed": 0, "failed": 0, "skipped": 0}


def check(name, condition, detail=""):
    results["passed" if condition else "failed"] += 1
    print(("ok: " if condition else "FAILED: ") + name + ("" if condition else " " + detail),
          flush=True)


def skip(name, reason):
    results["skipped"] += 1
    print("skipped: %s (%s)" % (name, reason), flush=True)


def start_reader(bindir):
    sim = subprocess.Popen([os.path.join(bindir, "readersim"), "--quiet",
                            "--track2", TRACK2, "--track3", TRACK3],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = sim.stdout.readline().strip()
    return sim, port


def start_service(bindir, wwwdir, reader, logfile, origins):
    command = [os.path.join(bindir, "stripedrvd"), "--reader", reader,
               "--listen", "127.0.0.1:0", "--static", wwwdir]
    for origin in origins:
        command += ["--allow-origin", origin]
    service = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=logfile,
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


def make_site(work, wwwdir, port):
    """The kiosk's own copy of the page, with the client module it vendors
    (taken from the service, which serves it)."""
    site = os.path.join(work, "site")
    shutil.copytree(wwwdir, site)
    with urllib.request.urlopen("http://127.0.0.1:%d/stripedrv-client.js" % port) as answer:
        module = answer.read()
    with open(os.path.join(site, "stripedrv-client.js"), "wb") as out:
        out.write(module)
    return site


def start_site(directory, certificate=None):
    """A static web server on a free loopback port; https with `certificate`."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass
    Quiet.extensions_map = {**Quiet.extensions_map, ".js": "text/javascript"}
    handler = functools.partial(Quiet, directory=directory)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    if certificate:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*certificate)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def make_certificate(work):
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=" + KIOSK, "-addext", "subjectAltName=DNS:" + KIOSK,
                    "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def browser(profile, extra=()):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync",
                 "--window-size=900,1000", "--user-data-dir=" + profile, *extra):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def kiosk_browser(profile, site_port):
    """A browser that takes the kiosk's https site for a public one."""
    return browser(profile, ("--ignore-certificate-errors",
                             "--host-resolver-rules=MAP %s 127.0.0.1" % KIOSK,
                             "--ip-address-space-overrides=127.0.0.1:%d=public" % site_port))


def text_of(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_for(driver, condition, limit=LIMIT):
    try:
        WebDriverWait(driver, limit, poll_frequency=0.05).until(lambda d: condition(d))
        return True
    except Exception:
        return False


def read_card(driver, case):
    check(case + ": the page connects to the service",
          wait_for(driver, lambda d: text_of(d, "connection") == "open"),
          "%r %r" % (text_of(driver, "connection"), text_of(driver, "error")))
    driver.find_element(By.ID, "read").click()
    check(case + ": a read shows track 2",
          wait_for(driver, lambda d: text_of(d, "track2") == TRACK2),
          repr(text_of(driver, "track2")))
    check(case + ": and track 3", text_of(driver, "track3") == TRACK3,
          repr(text_of(driver, "track3")))


def case_own_page(driver, port, screenshot):
    driver.get("http://127.0.0.1:%d/" % port)
    read_card(driver, "(a) own page")
    fields = text_of(driver, "fields")
    check("(a) and the parsed fields", "411111******1111" in fields and "2901" in fields
          and "valid" in fields, repr(fields))
    check("(a) the page says the read is done", text_of(driver, "state") == "read: done",
          repr(text_of(driver, "state")))
    if screenshot:
        driver.save_screenshot(screenshot)


def case_kiosk(work, site_port, port, log):
    if os.geteuid() != 0:
        skip("(b) kiosk page over https", "needs root to write a managed policy to " +
             POLICY_DIR)
        return
    page = "https://%s:%d/index.html?ws=ws://127.0.0.1:%d/ws" % (KIOSK, site_port, port)
    origin = "https://%s:%d" % (KIOSK, site_port)
    made = []  # the policy folders this test creates, removed afterwards
    folder = POLICY_DIR
    while not os.path.isdir(folder):
        made.insert(0, folder)
        folder = os.path.dirname(folder)
    driver = None
    try:
        for folder in made:
            os.mkdir(folder)
        with open(POLICY_FILE, "w") as policy:
            json.dump({"LocalNetworkAccessAllowedForUrls": [origin]}, policy)
        driver = kiosk_browser(os.path.join(work, "profile-policy"), site_port)
        driver.get(page)
        read_card(driver, "(b) kiosk page with the policy")
        permission = text_of(driver, "permission")
        check("(b) the page shows its loopback-network permission granted",
              permission == "granted", repr(permission))
    finally:
        if driver:
            driver.quit()
        if os.path.exists(POLICY_FILE):
            os.remove(POLICY_FILE)
        for folder in reversed(made):
            try:
                os.rmdir(folder)
            except OSError:
                pass  # another run's policy is still there

    driver = kiosk_browser(os.path.join(work, "profile-blocked"), site_port)
    try:
        started = time.monotonic()
        driver.get(page)
        check("(b) without the policy the error names Local Network Access within 2 s",
              wait_for(driver, lambda d: "Local Network Access" in text_of(d, "error"),
                       limit=2 - (time.monotonic() - started)),
              "%r %r" % (text_of(driver, "connection"), text_of(driver, "error")))
        check("(b) and the connection is closed", text_of(driver, "connection") == "closed",
              repr(text_of(driver, "connection")))
        check("(b) and the page shows the permission denied",
              wait_for(driver, lambda d: text_of(d, "permission") == "denied"),
              repr(text_of(driver, "permission")))
    finally:
        driver.quit()
    # The service's notice for a connection closed without a request.
    deadline = time.monotonic() + 20
    while not NOTICE.search(log()) and time.monotonic() < deadline:
        time.sleep(0.05)
    check("(b) the service logged the connection closed without a request",
          NOTICE.search(log()) is not None, log()[-600:])


def case_foreign(driver, site_port, port, log):
    driver.get("http://127.0.0.1:%d/index.html?ws=ws://127.0.0.1:%d/ws" % (site_port, port))
    check("(c) a page from an origin not allowed gets the origin error",
          wait_for(driver, lambda d: text_of(d, "connection") == "closed"
                   and "origin not allowed" in text_of(d, "error")),
          "%r %r" % (text_of(driver, "connection"), text_of(driver, "error")))
    check("(c) and the service logged the refusal",
          wait_for(driver, lambda d: "refused, Origin \"http://127.0.0.1:%d\"" % site_port
                   in log()), log())


def main():
    bindir, wwwdir = sys.argv[1], sys.argv[2]
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv else None
    started = time.monotonic()
    work = tempfile.mkdtemp(prefix="stripedrvd-browser-")
    sim = service = driver = None
    sites = []
    try:
        sim, reader = start_reader(bindir)
        # The kiosk's https site needs its port before the service starts,
        # which allows its origin: serve an empty folder, fill it after.
        site = os.path.join(work, "site")
        os.makedirs(site)
        kiosk = start_site(site, make_certificate(work))
        sites.append(kiosk)
        logfile = open(os.path.join(work, "stripedrvd.log"), "w+")
        service, port = start_service(bindir, wwwdir, reader, logfile,
                                      ["https://%s:%d" % (KIOSK, kiosk.server_address[1])])
        os.rmdir(site)
        make_site(work, wwwdir, port)
        foreign = start_site(site)
        sites.append(foreign)

        def log():
            with open(logfile.name) as f:
                return f.read()

        driver = browser(os.path.join(work, "profile"))
        case_own_page(driver, port, screenshot)
        case_foreign(driver, foreign.server_address[1], port, log)
        driver.quit()
        driver = None
        case_kiosk(work, kiosk.server_address[1], port, log)

        text = log()
        check("the log holds no track data", TRACK2 not in text and TRACK3 not in text
              and "4111111111111111" not in text, text)
    finally:
        if driver:
            driver.quit()
        for server in sites:
            server.shutdown()
        for process in (service, sim):
            if process:
                process.terminate()
                process.wait(timeout=LIMIT)
        shutil.rmtree(work, ignore_errors=True)
    print("browser test: %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed, %d skipped" % (results["passed"], results["failed"],
                                                results["skipped"]))
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
