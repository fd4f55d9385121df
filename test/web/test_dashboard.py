"""The station's dashboard in headless Chromium against a line of 1,000 emulated devices, a few
with a failing serial port: a cell per device with its serial and colour, on one 1080p screen,
the totals as the cells count them, the filter for failing, stopped and downloading devices,
the device page a click away (live, then from the records), the verdicts of the last snapshot;
and the tiles of a line that fits a screen, failures that do not fit counted."""

import contextlib
import http.client
import pathlib
import re
import signal
import socket
import subprocess

import pytest

from browser import WINDOW, Browser
from ovikline import burnin, emulate, netns

COUNT = 1000
SHORT_PORT = 1
DISCOVER = 7  # the first announcements spread over 3 s, the next 3 s later
DURATION = 8
STATION_TIMEOUT = DISCOVER + DURATION + 90 * burnin.SLOW
PAGE_TIMEOUT = 40 * burnin.SLOW
DASHBOARD = re.compile(
    r"^(?:dashboard on|serving the records of .* on) (http://127\.0\.0\.1:\d+/)$", re.M)

# Per cell: serial, classes, shown (not filtered out), the state its tooltip names.
GRID = """
const cells = [...document.querySelectorAll('#tiles > .tile')].map((t) => [
  Number(t.textContent), t.className, t.offsetParent !== null, t.title.split(' ')[1]]);
const totals = Object.fromEntries([...document.querySelectorAll('.total')].map((b) => [
  b.dataset.total, Number(b.querySelector('.n').textContent)]));
return {cells, totals, link: document.getElementById('link').textContent,
        fits: document.scrollingElement.scrollHeight <= window.innerHeight};
"""

# Filters by one kind with its total's button, then shows all again.
FILTER = """
const box = document.querySelector(`button.total[data-total="${arguments[0]}"]`);
box.click();
const filtered = {hash: window.location.hash, pressed: box.getAttribute('aria-pressed'),
  total: Number(box.querySelector('.n').textContent),
  shown: [...document.querySelectorAll('#tiles > .tile')].filter((t) => t.offsetParent !== null)
    .map((t) => t.className)};
box.click();
return filtered;
"""

# Every tile's failure chips whole inside it, and how many failures they count.
TILES = """
return [...document.querySelectorAll('.tile')].map((t) => {
  const r = t.getBoundingClientRect();
  const chips = [...t.querySelectorAll('.fails > *')];
  return {inside: r.right <= window.innerWidth && r.bottom <= window.innerHeight
            && chips.every((c) => { const b = c.getBoundingClientRect(),
                                          f = c.parentElement.getBoundingClientRect();
                                    return b.bottom <= f.bottom + 0.5 && b.right <= f.right + 0.5
                                        && f.bottom <= r.bottom; }),
          counted: chips.reduce((n, c) => n + (!c.classList.contains('chip') ? 0
                     : c.classList.contains('more') ? Number(c.textContent) : 1), 0)};
});
"""


def dashboard_url(run, timeout=15.0):
    m = netns.wait_for(lambda: DASHBOARD.search(run.stdout), timeout)
    assert m, f"no dashboard address from the station:\n{run.stdout}\n{run.stderr}"
    return m.group(1)


def grid(browser, failing):
    """The grid, after checking that it shows every device once with its serial, red exactly
    the failing ones, on one screen, with totals that count the cells."""
    page = browser.run(GRID)
    classes = {serial: cls.split() for serial, cls, _, _ in page["cells"]}
    assert len(page["cells"]) == len(classes) == COUNT, page["cells"][:5]
    assert {s for s, c in classes.items() if "failing" in c} == failing, page["totals"]
    assert page["fits"]
    totals = page["totals"]
    assert totals["devices"] == COUNT, totals
    for kind in ("clean", "failing", "stopped", "downloading"):
        assert totals[kind] == sum(kind in c for c in classes.values()), (kind, totals)
    return page


def tiles_line(line, count=32):
    """count devices of line as tiles, every seventh failing four items and eight ports."""
    devices = line["devices"][:count]
    for i, d in enumerate(devices):
        fail = i % 7 == 3
        d["health"] = "failing" if fail else "clean"
        d["items"] = [{"name": name, "fail": 12345 * fail} for name in ("COM", "LAN", "USB", "RTC")]
        d["ports"] = [{"port": p, "fail": 999 * fail} for p in range(8)]
    return dict(line, devices=devices)


@pytest.fixture
def room(station_net, chromium):
    net = station_net
    program = emulate.program()
    if not program:
        pytest.skip("no ovikline-emulator built")
    serials = emulate.serials(COUNT, [])
    failing = set(serials[3::333])
    config = burnin.config(download=True, extra="[uart]\nTestSerial = y\nMODEMDEVICE = /dev/ttyS\nportnum = 4\n")
    emulation = emulate.Emulation(
        net, {s: [("fail-port", SHORT_PORT, 2)] if s in failing else [] for s in serials},
        config, program)
    assert emulation.wait_ready(), emulation.dump()
    return net, failing


def test_dashboard_line_of_1000(room, artifacts):
    net, failing = room
    db = net.dir / "station.db"
    run = net.start_station("run", "--discover", DISCOVER, "--duration", DURATION, "--firmware",
                            "fw-1.2.bin", "--db", db, "--station", "line-1", "--web",
                            "127.0.0.1:0", timeout=STATION_TIMEOUT)
    url = dashboard_url(run)
    with contextlib.closing(Browser(net.pc_netns, net.dir / "browser")) as browser:
        browser.get(url)
        assert browser.wait_for(
            "const n = (kind) => document.querySelectorAll(`#tiles > .tile.${kind}`).length;"
            "return n('failing') === arguments[0] && n('clean') === arguments[1] - arguments[0]",
            PAGE_TIMEOUT, len(failing), COUNT), browser.run(GRID)["totals"]
        page = grid(browser, failing)
        assert page["link"] == "live"
        line = browser.run("return fetch('/api/line').then((r) => r.json())")

        # One click from the grid to a failing device's page, its live record port by port.
        browser.click("#tiles > .tile.failing")
        ports = browser.wait_for(
            "const p = [...document.querySelectorAll('.port')];"
            "return document.getElementById('record-note').textContent.startsWith('Live from')"
            " && p.map((e) => [Number(e.dataset.port), e.classList[1]])", PAGE_TIMEOUT)
        assert ports == [[p, "failing" if p == SHORT_PORT else "clean"] for p in range(4)]
        shown = int(browser.run("return document.getElementById('serial').textContent"))
        assert shown in failing

        # While the passed devices download, each filter shows its kind alone.
        browser.get(url)
        assert browser.wait_for("return document.querySelector('.total.downloading .n')"
                                ".textContent > 0", DURATION + PAGE_TIMEOUT)
        for kind in ("failing", "downloading", "stopped"):
            filtered = browser.run(FILTER, kind)
            assert filtered["hash"] == f"#{kind}" and filtered["pressed"] == "true", filtered
            assert all(kind in cls.split() for cls in filtered["shown"]), filtered
            assert len(filtered["shown"]) == filtered["total"], filtered
        assert all(shown for _, _, shown, _ in browser.run(GRID)["cells"])
        print(f"dashboard screenshot: {browser.screenshot(artifacts / 'dashboard-1000.png')}")

        # The last snapshot, with the verdicts, reaches the page before the station ends.
        run.wait()
        assert not run.timed_out and run.returncode == 1, run.stdout[-2000:]
        assert browser.wait_for("return document.getElementById('link').textContent"
                                " === 'station stopped'", PAGE_TIMEOUT)
        states = {serial: state for serial, _, _, state in grid(browser, failing)["cells"]}
        assert states == {s: "failed" if s in failing else "passed" for s in states}

        # The records alone: the device page finds the run; a small line gets tiles.
        serve = net.start_station("serve", "--web", "127.0.0.1:0", "--db", db, timeout=60)
        records = dashboard_url(serve)
        browser.get(f"{records}device/{shown}")
        rows = browser.wait_for(
            "const r = [...document.querySelectorAll('#runs tbody tr')];"
            "return r.length ? r.map((e) => [...e.cells].map((c) => c.textContent)) : null",
            PAGE_TIMEOUT)
        assert [row[2] for row in rows] == ["line-1"] and rows[0][4] == "failed", rows
        assert rows[0][8].startswith(f"{SHORT_PORT}:"), rows
        browser.get(records)
        assert browser.wait_for("return document.getElementById('link').textContent === 'live'",
                                PAGE_TIMEOUT)
        browser.run("dashboard.render(arguments[0])", tiles_line(line))
        assert browser.run("return window.innerWidth") == WINDOW[0]
        tiles = browser.run(TILES)
        assert [t["counted"] for t in tiles] == [12 if i % 7 == 3 else 0 for i in range(32)]
        assert all(t["inside"] for t in tiles), tiles
        browser.screenshot(artifacts / "dashboard-32.png")
        serve.process.popen.send_signal(signal.SIGTERM)
        serve.wait(10)
        assert serve.returncode == 0, serve.stderr


# Paths that leave the dashboard's own files, as sent and percent-encoded.
TRAVERSALS = ("/../../etc/passwd", "/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2fetc%2fpasswd",
              "/device/1/../../../etc/passwd", "/dashboard.js/../../../etc/passwd")
RUNS = "/api/device/5101"
STREAMS = 24  # pages that may follow the line at once


@contextlib.contextmanager
def serving(station_program, tmp_path):
    """`ovikstation serve` on loopback over an SQLite file no run was recorded in: the file,
    the server's host:port and its process."""
    db, out = tmp_path / "station.db", tmp_path / "serve.out"
    db.write_bytes(b"")
    with open(out, "w") as stdout:
        serve = subprocess.Popen([station_program, "serve", "--web", "127.0.0.1:0", "--db", db],
                                 stdout=stdout)
    try:
        m = netns.wait_for(lambda: DASHBOARD.search(out.read_text()), 15)
        assert m, out.read_text()
        yield db, m.group(1)[7:-1], serve
    finally:
        serve.terminate()
        serve.wait(10)


def test_dashboard_traversal_and_unreadable_records(station_program, tmp_path):
    """No path outside the pages serves a file; a device's runs answer 503 once the records
    cannot be read (damaged, then gone)."""
    with serving(station_program, tmp_path) as (db, address, _), \
            contextlib.closing(http.client.HTTPConnection(address, timeout=10)) as web:
        for damage, path, expected in [(b"", p, 404) for p in TRAVERSALS] + [
                (b"", RUNS, 200), (b"not a database\n", RUNS, 503), (None, RUNS, 503)]:
            db.unlink() if damage is None else db.write_bytes(damage)
            web.request("GET", path)  # sent as it is: http.client keeps the dots
            answer = web.getresponse()
            body = answer.read()
            assert answer.status == expected and b"root:" not in body, (path, damage, body)


def resident_kib(process):
    status = pathlib.Path(f"/proc/{process.pid}/status").read_text()
    return int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))


def test_dashboard_bounds_bodies_and_streams(station_program, tmp_path):
    """A 100 MiB request body, declared or chunked, is answered without the server growing;
    the page beyond the cap on event streams gets 503 with the reason, and a page that goes
    away frees its place."""
    with serving(station_program, tmp_path) as (_, address, serve):
        host, port = address.split(":")
        before = resident_kib(serve)
        for header, status in (("Content-Length: 104857600", 413),
                               ("Transfer-Encoding: chunked", 400)):
            with socket.create_connection((host, int(port)), timeout=10) as client:
                client.sendall(f"POST /nowhere HTTP/1.1\r\nHost: x\r\n{header}\r\n\r\n".encode())
                with contextlib.suppress(OSError):  # the server stops reading
                    for _ in range(100):
                        client.sendall(b"100000\r\n" + b"x" * 0x100000 + b"\r\n")
                answer = client.recv(100).decode()
            assert answer.startswith(f"HTTP/1.1 {status} "), (header, answer)
        assert resident_kib(serve) - before < 16 << 10, (before, resident_kib(serve))

        def stream():
            web = http.client.HTTPConnection(address, timeout=10)
            web.request("GET", "/api/events")
            return web, web.getresponse()
        pages = [stream() for _ in range(STREAMS)]
        try:
            assert [answer.status for _, answer in pages] == [200] * STREAMS
            web, answer = stream()
            assert answer.status == 503 and b"too many open dashboard pages" in answer.read()
            web.close()
            pages.pop()[0].close()


            def another():
                web, answer = stream()
                if answer.status == 200:
                    return web, answer
                web.close()
                return None
            pages.append(netns.wait_for(another, 5))
            assert pages[-1], "no place for a page after one went away"
        finally:
            for web, _ in filter(None, pages):
                web.close()
