#!/usr/bin/env python3
"""The advanced settings page in a real browser.

In a network namespace of its own (loopback only), the test serves the page
and the two CGI programs with tools/web-serve.sh (lighttpd) on a prepared
board root, drives headless Chromium through chromedriver's WebDriver HTTP
interface, checks that the page shows the stored settings, changes and
submits them, and checks the datagram extopts sent to 127.0.0.1:8690.
Then getextopts is swapped for one that fails with HTTP 500, and the page
must report that status rather than a JSON parse error.
Every process it starts is ended before it exits.

Usage: browser_test.py --serve tools/web-serve.sh --bin BUILD/bin [--screenshot PNG]
"""

import argparse
import base64
import ctypes
import fcntl
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

CLONE_NEWNET = 0x40000000
PR_SET_CHILD_SUBREAPER = 36
SIOCGIFFLAGS, SIOCSIFFLAGS = 0x8913, 0x8914
IFF_UP, IFF_RUNNING = 0x1, 0x40

WEB_PORT = 8080
DRIVER_PORT = 9515
PATERM_PORT = 8690
ELEMENT_KEY = "element-6066-11e4-a52e-4f735466cecf"

# The stored settings the page must show: delay 25 s, auto mode enabled.
STORED = bytes([25, 0, 1, 0, 0, 0, 0, 0])
# What the page must send after the delay is set to 300 and auto mode disabled.
EXPECTED_DATAGRAM = bytes([4, 0x2C, 0x01, 0, 0, 0, 0, 0, 0])

CHROMIUM_ARGS = [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--window-size=900,760",
]


class Failure(Exception):
    pass


def enter_private_network():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise Failure("unshare(CLONE_NEWNET) failed: %s (the test needs root)" % os.strerror(ctypes.get_errno()))
    # Processes orphaned by the browser come back to this one, which ends them.
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        request = struct.pack("16sH22x", b"lo", 0)
        flags = struct.unpack("16sH22x", fcntl.ioctl(sock, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack("16sH22x", b"lo", flags | IFF_UP | IFF_RUNNING))


def wait_until(what, check, timeout_s):
    deadline = time.monotonic() + timeout_s
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
            if last:
                return last
        except (OSError, urllib.error.URLError, Failure) as error:
            last = error
        time.sleep(0.1)
    raise Failure("timed out waiting for %s (last: %r)" % (what, last))


def http(method, url, body=None, timeout_s=30):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(url, data=data, method=method,
                                     headers={"Content-Type": "application/json; charset=utf-8"})
    try:
        with urllib.request.urlopen(request, timeout=timeout_s) as response:
            return json.loads(response.read() or b"null")
    except urllib.error.HTTPError as error:
        raise Failure("%s %s: %s %s" % (method, url, error.code, error.read()[:500])) from None


class Browser:
    """A WebDriver session on headless Chromium."""

    def __init__(self, profile_dir):
        self.base = "http://127.0.0.1:%d" % DRIVER_PORT
        options = {"binary": shutil.which("chromium") or "/usr/bin/chromium",
                   "args": CHROMIUM_ARGS + ["--user-data-dir=" + profile_dir]}
        capabilities = {"alwaysMatch": {"browserName": "chrome", "goog:chromeOptions": options}}
        reply = http("POST", self.base + "/session", {"capabilities": capabilities}, timeout_s=60)
        self.session = "%s/session/%s" % (self.base, reply["value"]["sessionId"])

    def close(self):
        http("DELETE", self.session)

    def go(self, url):
        http("POST", self.session + "/url", {"url": url})

    def element(self, css):
        reply = http("POST", self.session + "/element", {"using": "css selector", "value": css})
        return reply["value"][ELEMENT_KEY]

    def prop(self, css, name):
        return http("GET", "%s/element/%s/property/%s" % (self.session, self.element(css), name))["value"]

    def text(self, css):
        return http("GET", "%s/element/%s/text" % (self.session, self.element(css)))["value"]

    def click(self, css):
        http("POST", "%s/element/%s/click" % (self.session, self.element(css)), {})

    def type_into(self, css, text):
        element = self.element(css)
        http("POST", "%s/element/%s/clear" % (self.session, element), {})
        http("POST", "%s/element/%s/value" % (self.session, element), {"text": text})

    def screenshot(self, path):
        png = base64.b64decode(http("GET", self.session + "/screenshot")["value"])
        with open(path, "wb") as out:
            out.write(png)


def start(argv, log_path):
    with open(log_path, "wb") as log:
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True)


def stop_group(process):
    """Ends a process started in its own session, with everything in its group."""
    if process is None or process.poll() is not None:
        return
    for sig, wait_s in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=wait_s)
            return
        except subprocess.TimeoutExpired:
            pass


def end_leftover_children():
    """Ends and reaps whatever descendants were re-parented to this process."""
    me = str(os.getpid())
    for _ in range(50):
        children = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[1] == me:
                children.append(int(entry))
        if not children:
            return
        for pid in children:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for pid in children:
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass


def run_page_test(browser, paterm, screenshot):
    browser.go("http://127.0.0.1:%d/" % WEB_PORT)
    wait_until("the settings to load", lambda: browser.text("#status") == "Settings loaded.", 30)
    shown = (browser.prop("#delay", "value"), browser.prop("#auto-enable", "checked"),
             browser.prop("#auto-disable", "checked"))
    if shown != ("25", True, False):
        raise Failure("page shows delay/enabled/disabled %r, expected ('25', True, False)" % (shown,))
    if screenshot:
        browser.screenshot(screenshot)

    browser.type_into("#delay", "300")
    browser.click("#auto-disable")
    browser.click("#save")
    wait_until("the save to be confirmed", lambda: browser.text("#status") == "Settings saved.", 30)
    paterm.settimeout(10)
    datagram = paterm.recv(2048)
    if datagram != EXPECTED_DATAGRAM:
        raise Failure("datagram %s, expected %s" % (datagram.hex(" "), EXPECTED_DATAGRAM.hex(" ")))


def run_http_error_test(browser, bin_dir):
    """The page names an HTTP error status instead of failing to parse its body."""
    getextopts = os.path.join(bin_dir, "getextopts")
    os.unlink(getextopts)
    with open(getextopts, "w") as script:
        script.write("#!/bin/sh\nprintf 'Status: 500 Internal Server Error\\r\\n"
                     "Content-type: text/html\\r\\n\\r\\n<html>broken</html>'\n")
    os.chmod(getextopts, 0o755)
    browser.go("http://127.0.0.1:%d/" % WEB_PORT)
    wait_until("the load failure", lambda: browser.text("#status").startswith("Could not load"), 30)
    shown = browser.text("#status")
    if not shown.startswith("Could not load the settings: HTTP 500"):
        raise Failure("status line %r, expected it to name HTTP 500" % shown)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", required=True, help="tools/web-serve.sh")
    parser.add_argument("--bin", required=True, help="directory of the built getextopts and extopts")
    parser.add_argument("--screenshot", help="save a PNG of the page as loaded")
    args = parser.parse_args()

    enter_private_network()
    work = tempfile.mkdtemp(prefix="paterm-browser-")
    server = driver = browser = None
    try:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "opt", "lpc3250"))
        # The served programs are links, so one can be swapped while lighttpd runs.
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir)
        for program in ("getextopts", "extopts"):
            os.symlink(os.path.abspath(os.path.join(args.bin, program)), os.path.join(bin_dir, program))
        with open(os.path.join(root, "opt", "lpc3250", "sysExtOpts"), "wb") as stored:
            stored.write(STORED)
        paterm = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        paterm.bind(("127.0.0.1", PATERM_PORT))

        server = start(["sh", args.serve, "--port", str(WEB_PORT), "--root", root, "--bin", bin_dir],
                       os.path.join(work, "web.log"))
        driver = start([shutil.which("chromedriver") or "/usr/bin/chromedriver", "--port=%d" % DRIVER_PORT],
                       os.path.join(work, "driver.log"))
        wait_until("lighttpd", lambda: socket.create_connection(("127.0.0.1", WEB_PORT), timeout=1).close() or True,
                   20)
        wait_until("chromedriver", lambda: http("GET", "http://127.0.0.1:%d/status" % DRIVER_PORT,
                                                timeout_s=2)["value"]["ready"], 20)
        browser = Browser(os.path.join(work, "profile"))
        run_page_test(browser, paterm, args.screenshot)
        print("browser: the page showed the stored settings and sent", EXPECTED_DATAGRAM.hex(" "))
        run_http_error_test(browser, bin_dir)
        print("browser: the page reported HTTP 500 as such")
        print("1 passed, 0 failed")
        return 0
    except Failure as failure:
        print("browser test failed:", failure)
        for log in ("web.log", "driver.log"):
            path = os.path.join(work, log)
            if os.path.exists(path):
                with open(path, errors="replace") as text:
                    print("--- %s (last lines)\n%s" % (log, "".join(text.readlines()[-30:])))
        print("0 passed, 1 failed")
        return 1
    finally:
        if browser is not None:
            try:
                browser.close()
            except (Failure, OSError, urllib.error.URLError):
                pass
        stop_group(driver)
        stop_group(server)
        end_leftover_children()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
