"""The station's dashboard in headless Chromium, against a simulated line with one faulty
device: its tile turns red and names the failing serial port while the others stay green, the
totals agree with the tiles, a progress bar shows each download, the device page shows the live
record and, from the records, the finished run. A screenshot of the line is kept."""

import contextlib
import os
import re
import signal

import pytest

from browser import WINDOW, Browser
from ovikline import burnin, netns, serialplug

PREFIX = "/dev/ttyS"
PORTS = 4
# OVIK_WEB_LINE_SIZE: more devices, for a fuller screenshot.
SERIALS = tuple(range(4001, 4001 + int(os.environ.get("OVIK_WEB_LINE_SIZE", "4"))))
FAULTY, SHORT_PORT = 4002, 1
DURATION = 15
FIRMWARE = "fw-1.2.bin"
# Long enough to be seen: about 7 s of download per device.
UPGRADE = {"lines": [f"tftp: block {n}" for n in range(1, 91)], "delay": 0.08}
STATION_TIMEOUT = DURATION + 60 * burnin.SLOW
PAGE_TIMEOUT = 40 * burnin.SLOW
DASHBOARD = re.compile(
    r"^(?:dashboard on|serving the records of .* on) (http://127\.0\.0\.1:\d+/)$", re.M)

# The tiles and totals as the page shows them.
TILES = """
const tiles = [...document.querySelectorAll('.tile')].map((t) => ({
  serial: Number(t.dataset.serial), health: t.classList[1], text: t.innerText,
  progress: t.querySelector('.progress') !== null}));
const totals = {};
for (const box of document.querySelectorAll('.total')) {
  totals[box.dataset.total] = Number(box.querySelector('.n').textContent);
}
return {tiles, totals, link: document.getElementById('link').textContent};
"""


def config():
    return burnin.config(download=True, extra=f"[uart]\nTestSerial = y\nMODEMDEVICE = {PREFIX}\n"
                                              f"portnum = {PORTS}\n")


def dashboard_url(run, timeout=15.0):
    def found():
        m = DASHBOARD.search(run.stdout)
        return m.group(1) if m else None
    url = netns.wait_for(found, timeout)
    assert url, f"no dashboard address from the station:\n{run.stdout}\n{run.stderr}"
    return url


def line_page(browser):
    return browser.run(TILES)


def by_serial(page):
    return {t["serial"]: t for t in page["tiles"]}


def check_line(page):
    """The faulty device red with its port named, the others green, the totals as counted."""
    tiles = by_serial(page)
    assert sorted(tiles) == list(SERIALS), page
    assert tiles[FAULTY]["health"] == "failing", page
    assert re.search(rf"ports\s*{SHORT_PORT} ×\d+", tiles[FAULTY]["text"]), page
    for serial in SERIALS:
        if serial != FAULTY:
            assert tiles[serial]["health"] == "clean", (serial, page)
            assert "ports" not in tiles[serial]["text"], (serial, page)
    totals = page["totals"]
    assert totals["devices"] == len(SERIALS), page
    assert totals["failing"] == 1, page
    assert totals["clean"] == len(SERIALS) - 1, page


@pytest.fixture
def line(station_net, chromium):
    net = station_net
    for serial in SERIALS:
        passed = {SHORT_PORT: 100} if serial == FAULTY else {}
        dut = net.add_dut(bootenv={"serialnumber": f"TB{serial}", "mm_flags": "0"},
                          config=config(), upgrade=UPGRADE)
        dut.start("-e", fixtures=[serialplug.loopbacks(PREFIX, PORTS, passed=passed)])
    for dut in net.duts:
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), dut.name
    return net


def test_dashboard_shows_faulty_device_live(line, artifacts):
    net = line
    db = net.dir / "station.db"
    run = net.start_station("run", "--discover", "3.5", "--duration", DURATION,
                            "--firmware", FIRMWARE, "--db", db, "--station", "line-1",
                            "--web", "127.0.0.1:0", timeout=STATION_TIMEOUT)
    url = dashboard_url(run)
    with contextlib.closing(Browser(net.pc_netns, net.dir / "browser")) as browser:
        browser.get(url)
        # Red as soon as the short plug has cost its port a pattern.
        assert browser.wait_for(
            "return [...document.querySelectorAll('.tile.failing .fails .chip')]"
            ".some((chip) => chip.textContent.startsWith(arguments[0]))",
            PAGE_TIMEOUT, f"{SHORT_PORT} ×"), browser.run(TILES)
        page = line_page(browser)
        check_line(page)
        assert page["link"] == "live", page
        assert "line-1" in browser.run("return document.querySelector('h1').innerText")
        snapshot = browser.run("return fetch('/api/line').then((r) => r.json())")
        assert snapshot["totals"]["devices"] == len(SERIALS), snapshot

        # The device page: the live record, port by port.
        browser.get(f"{url}device/{FAULTY}")
        ports = browser.wait_for(
            "const p = [...document.querySelectorAll('.port')];"
            "return p.length ? p.map((e) => [Number(e.dataset.port), e.classList[1],"
            " Number(e.querySelector('.count').textContent)]) : null", PAGE_TIMEOUT)
        assert ports is not None
        assert [p[0] for p in ports] == list(range(PORTS)), ports
        for number, health, count in ports:
            assert (health, count > 0) == (("failing", True) if number == SHORT_PORT
                                           else ("clean", False)), ports
        assert "Live from" in browser.run("return document.getElementById('record-note')"
                                          ".textContent")

        # After the run the passed devices download; a failed run never does.
        browser.get(url)
        # Under way, for the screenshot.
        assert browser.wait_for(
            "return [...document.querySelectorAll('.tile .progress .fill')]"
            ".some((bar) => parseFloat(bar.style.width) >= 30)",
            DURATION + PAGE_TIMEOUT), browser.run(TILES)
        page = line_page(browser)
        check_line(page)
        assert not by_serial(page)[FAULTY]["progress"], page
        assert page["totals"]["downloading"] >= 1, page
        # The page down to its last row of tiles.
        shot = browser.screenshot(artifacts / "dashboard.png", "body")
        print(f"dashboard screenshot: {shot}")

        # The last snapshot, with the verdicts, reaches the page before the station ends.
        run.wait()
        assert not run.timed_out
        assert run.returncode == 1, run.stdout
        final = browser.wait_for(
            "const t = [...document.querySelectorAll('.tile')];"
            "return t.every((e) => !e.querySelector('.progress')) ?"
            " t.map((e) => [Number(e.dataset.serial), e.querySelector('.state').textContent])"
            " : null", PAGE_TIMEOUT)
        assert dict(final) == {s: "failed" if s == FAULTY else "passed" for s in SERIALS}, final
        assert browser.wait_for("return document.getElementById('link').textContent"
                                " === 'station stopped'", PAGE_TIMEOUT)

        # The records alone: the device page finds the run.
        serve = net.start_station("serve", "--web", "127.0.0.1:0", "--db", db, timeout=60)
        records = dashboard_url(serve)
        browser.get(f"{records}device/{FAULTY}")
        rows = browser.wait_for(
            "const r = [...document.querySelectorAll('#runs tbody tr')];"
            "return r.length ? r.map((e) => [...e.cells].map((c) => c.textContent)) : null",
            PAGE_TIMEOUT)
        assert rows and len(rows) == 1, rows
        assert rows[0][2:5] == ["line-1", net.duts[1].address, "failed"], rows
        assert rows[0][8].startswith(f"{SHORT_PORT}:"), rows
        assert browser.wait_for(
            f"const p = document.querySelector('.port[data-port=\"{SHORT_PORT}\"]');"
            "return p !== null && p.classList.contains('failing')", PAGE_TIMEOUT)
        serve.process.popen.send_signal(signal.SIGTERM)
        serve.wait(10)
        assert serve.returncode == 0, serve.stderr


def synthetic_line(count):
    """A snapshot of count devices, some with long lists of failures, one downloading."""
    devices = []
    for i in range(count):
        serial = 5000 + i
        items = [{"name": name, "fail": 0} for name in ("COM", "LAN", "USB", "RTC")]
        ports = [{"port": p, "fail": 0} for p in range(8)]
        health, state, progress = "clean", "running", None
        if i % 7 == 3:
            health = "failing"
            items = [dict(item, fail=12345) for item in items]
            ports = [dict(port, fail=999) for port in ports]
        elif i == 5:
            state, progress = "downloading", 60
        devices.append({
            "key": f"192.180.20.{i}", "serial": serial, "address": f"192.180.20.{i}",
            "state": state, "done": False, "verdict": "pending", "health": health,
            "download": "pending" if progress else "not requested", "progress": progress,
            "reason": "", "cycles": 123456, "burntime": 86399, "burn": "23:59:59",
            "failed_items": "", "failed_ports": "", "status": "running", "error": 0,
            "diagsent": 1, "diagrecv": 1, "items": items, "ports": ports})
    return {"station": "line-with-a-long-name", "state": "running", "started_at": 1700000000,
            "plan": {"duration_ms": 86400000, "baud": 115200, "firmware": FIRMWARE,
                     "declare_fail": False, "stop_all_on_fail": True},
            "totals": {"devices": count, "waiting": 0, "clean": count - 5, "failing": 5,
                       "stopped": 0, "running": count - 1, "downloading": 1, "done": 0,
                       "passed": 0},
            "devices": devices}


def test_dashboard_fits_32_devices_on_1080p(station_net, chromium, artifacts):
    net = station_net
    records = net.dir / "empty.db"
    records.touch()  # an SQLite database without a run
    serve = net.start_station("serve", "--web", "127.0.0.1:0", "--db", records, timeout=60)
    url = dashboard_url(serve)
    with contextlib.closing(Browser(net.pc_netns, net.dir / "browser")) as browser:
        browser.get(url)
        assert browser.wait_for("return document.getElementById('link').textContent === 'live'",
                                PAGE_TIMEOUT)
        browser.run("dashboard.render(arguments[0])", synthetic_line(32))
        layout = browser.run("""
            const view = {w: window.innerWidth, h: window.innerHeight,
                          scroll: document.scrollingElement.scrollHeight};
            const tiles = [...document.querySelectorAll('.tile')].map((t) => {
              const r = t.getBoundingClientRect();
              const s = t.querySelector('.serial').getBoundingClientRect();
              // Every failure chip shows whole: none cut off by the tile or its row.
              const chips = [...t.querySelectorAll('.fails')].every((row) => {
                const f = row.getBoundingClientRect();
                return [...row.children].every((c) => {
                  const b = c.getBoundingClientRect();
                  return b.bottom <= f.bottom + 0.5 && b.right <= f.right + 0.5
                      && f.bottom <= r.bottom;
                });
              });
              return {left: r.left, top: r.top, right: r.right, bottom: r.bottom,
                      serial_inside: s.right <= r.right && s.bottom <= r.bottom, chips,
                      failing: t.classList.contains('failing'),
                      shown: Object.fromEntries([...t.querySelectorAll('.fails')].map((row) => [
                        row.querySelector('.label').textContent,
                        [...row.querySelectorAll('.chip')].reduce((n, c) => n
                          + (c.classList.contains('more') ? Number(c.textContent) : 1), 0)]))};
            });
            return {view, tiles};""")
        browser.screenshot(artifacts / "dashboard-32.png")
    view, tiles = layout["view"], layout["tiles"]
    # The window's own bars take their part of the screen's height.
    assert view["w"] == WINDOW[0] and view["h"] >= WINDOW[1] - 200, view
    assert len(tiles) == 32
    assert view["scroll"] <= view["h"], layout
    for t in tiles:
        assert 0 <= t["left"] and t["right"] <= view["w"], t
        assert 0 <= t["top"] and t["bottom"] <= view["h"], t
        assert t["serial_inside"], t
        assert t["chips"], t
        # What does not fit is counted: four items and eight ports failed.
        assert t["shown"] == ({"items": 4, "ports": 8} if t["failing"] else {}), t
        # Wide enough to read from a distance.
        assert t["right"] - t["left"] >= 200, t
    serve.process.popen.send_signal(signal.SIGTERM)
    serve.wait(10)
    assert serve.returncode == 0, serve.stderr
