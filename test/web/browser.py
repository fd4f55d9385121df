"""Headless Chromium for the dashboard tests, driven through ChromeDriver's WebDriver API.

ChromeDriver and its browser run inside the simulated network's PC namespace (the station's
pages are on its loopback), in a mount namespace of their own with an empty /dev/shm, with
profile and temporary files in the test's directory; this module talks to ChromeDriver over a
socket opened in that namespace. Run as a program (`browser.py --host-mntns ID -- PROGRAM
ARG...`) it is the launcher that gives the program that /dev/shm, and it refuses to do so in
the harness's mount namespace.
"""

import base64
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW = (1920, 1080)
DRIVER_PORT = 9515
DRIVER_START_TIMEOUT = 30.0
COMMAND_TIMEOUT = 60.0
STOP_GRACE = 3.0
REFUSED = 97


def missing():
    """Why the browser tests cannot run here, or None."""
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            return f"{program} is missing (Debian packages chromium and chromium-driver)"
    return None


class WebDriverError(RuntimeError):
    pass


class _Connection(http.client.HTTPConnection):
    """HTTP over a TCP socket that lives in a network namespace."""

    def __init__(self, namespace, port, timeout):
        super().__init__("127.0.0.1", port, timeout=timeout)
        self.namespace = namespace

    def connect(self):
        from ovikline import netns  # not needed, nor importable, where this file is the launcher
        self.sock = netns.socket_in(self.namespace, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect((self.host, self.port))


class Browser:
    def __init__(self, namespace, workdir):
        self.namespace = namespace
        self.dir = Path(workdir)
        self.session = self.driver = None
        try:
            self._start()
        except BaseException:
            self.close()
            raise

    def _start(self):
        home = self.dir / "home"
        home.mkdir(parents=True, exist_ok=True)
        env = {"PATH": "/usr/bin:/bin", "HOME": str(home), "TMPDIR": str(home), "LANG": "C.UTF-8"}
        argv = ["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", self.namespace,
                "unshare", "--mount", "--propagation", "private",
                sys.executable, "-IB", str(Path(__file__).resolve()),
                "--host-mntns", os.readlink("/proc/self/ns/mnt"), "--",
                CHROMEDRIVER, f"--port={DRIVER_PORT}", f"--log-path={self.dir}/chromedriver.log"]
        with open(self.dir / "chromedriver.out", "wb") as out:
            self.driver = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                           stderr=subprocess.STDOUT, env=env,
                                           start_new_session=True)
        deadline = time.monotonic() + DRIVER_START_TIMEOUT
        while True:
            try:
                if self._call("GET", "/status", timeout=2).get("ready"):
                    break
            except (OSError, WebDriverError, http.client.HTTPException):
                pass
            if self.driver.poll() is not None or time.monotonic() > deadline:
                raise WebDriverError("chromedriver did not start: " + "".join(
                    p.read_text(errors="replace")[-4000:] for p in self.dir.glob("chromedriver.*")))
            time.sleep(0.1)
        profile = self.dir / "profile"
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                f"--window-size={WINDOW[0]},{WINDOW[1]}", "--force-device-scale-factor=1",
                "--hide-scrollbars", f"--user-data-dir={profile}", "--no-first-run",
                "--no-default-browser-check", "--disable-extensions", "--disable-sync",
                "--disable-background-networking", "--disable-component-update"]
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": CHROMIUM, "args": args}}}}
        self.session = self._call("POST", "/session", caps)["sessionId"]

    def _call(self, method, path, body=None, timeout=COMMAND_TIMEOUT):
        conn = _Connection(self.namespace, DRIVER_PORT, timeout)
        try:
            payload = None if body is None else json.dumps(body)
            conn.request(method, path, body=payload,
                         headers={"Content-Type": "application/json; charset=utf-8"})
            response = conn.getresponse()
            data = json.loads(response.read() or b"null")
        finally:
            conn.close()
        value = data.get("value") if isinstance(data, dict) else None
        if response.status != 200:
            raise WebDriverError(f"{method} {path}: HTTP {response.status}: {value}")
        return value

    def _session_call(self, method, path, body=None):
        return self._call(method, f"/session/{self.session}{path}", body)

    def get(self, url):
        self._session_call("POST", "/url", {"url": url})

    def run(self, script, *args):
        """The value of a function body (script) run in the page with args."""
        return self._session_call("POST", "/execute/sync", {"script": script, "args": list(args)})

    def wait_for(self, script, timeout, *args, interval=0.2):
        """Runs script until it returns a true value or timeout seconds pass; returns the last
        value."""
        deadline = time.monotonic() + timeout
        while True:
            value = self.run(script, *args)
            if value or time.monotonic() >= deadline:
                return value
            time.sleep(interval)

    def click(self, selector):
        """Clicks the first element that selector (CSS) finds, as a user would."""
        found = self._session_call("POST", "/element", {"using": "css selector", "value": selector})
        self._session_call("POST", f"/element/{next(iter(found.values()))}/click", {})

    def screenshot(self, path):
        """A PNG of the window."""
        Path(path).write_bytes(base64.b64decode(self._session_call("GET", "/screenshot")))
        return path

    def close(self):
        if self.session is not None:
            try:
                self._call("DELETE", f"/session/{self.session}", timeout=10)
            except (OSError, WebDriverError, http.client.HTTPException):
                pass
            self.session = None
        if self.driver is not None and self.driver.poll() is None:
            # The driver, the browser and its helpers share the driver's process group.
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(self.driver.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    self.driver.wait(timeout=STOP_GRACE)
                    break
                except subprocess.TimeoutExpired:
                    continue
        self.driver = None


def _launch():
    """Gives the program an empty /dev/shm of its own, then becomes the program."""
    args = sys.argv[1:]
    if len(args) < 4 or args[0] != "--host-mntns" or args[2] != "--":
        sys.exit("usage: browser.py --host-mntns ID -- PROGRAM ARG...")
    if os.readlink("/proc/self/ns/mnt") == args[1]:
        print("browser: still in the harness's mount namespace", file=sys.stderr)
        sys.exit(REFUSED)
    for mount in (["--make-rprivate", "/"],
                  ["-t", "tmpfs", "-o", "mode=1777,size=64m", "tmpfs", "/dev/shm"]):
        done = subprocess.run(["/usr/bin/mount", *mount], capture_output=True, text=True,
                              timeout=10)
        if done.returncode != 0:
            print(f"browser: mount {' '.join(mount)}: {done.stderr.strip()}", file=sys.stderr)
            sys.exit(REFUSED)
    program = args[3:]
    os.execv(shutil.which(program[0]) or program[0], program)


if __name__ == "__main__":
    _launch()
