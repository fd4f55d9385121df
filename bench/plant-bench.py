#!/usr/bin/env python3
"""The plant page on a year of records (run as root): a private PostgreSQL server gets the
station's schema (from `ovikstation resume`, which creates it) and then, from generate_series,
N device runs over 365 days by a few stations, a station run of 100 devices every 53 minutes,
about 6 % of them failed (test items and serial ports with a skewed share each), 2 % retests of
a device 50 runs earlier, and each station's newest run still running. `ovikstation serve`
reads it; this prints how long each chart's request takes through the station's own HTTP
server (median and slowest of the rounds), and with --screenshot a PNG of the plant page.

Usage: bench/plant-bench.py [--build DIR] [--runs 1000000] [--rounds 5] [--screenshot PNG]
"""

import argparse
import contextlib
import http.client
import re
import socket
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))
sys.path.insert(0, str(ROOT / "test" / "web"))

import pgserver  # noqa: E402
from ovikline import netns  # noqa: E402
from ovikline.network import Network  # noqa: E402

STATIONS = 4
DEVICES_PER_RUN = 100
YEAR = 365 * 86400
CHARTS = [f"/api/plant/{chart}?period={period}" for chart in ("yield", "pareto", "retest")
          for period in ("day", "week", "month")] + ["/api/plant/live"]

# $N: device runs, $NOW: the end of the year; h is a hash of the row's number that decides
# its fate.
FILL = """
INSERT INTO station_runs (id, station, started_at, ended_at, baud, firmware, duration_ms,
                          declare_fail, stop_all_on_fail, state)
OVERRIDING SYSTEM VALUE
SELECT r + 1, 'line-' || (r % {stations} + 1), {start} + r * {spacing},
       CASE WHEN r >= {runs} - {stations} THEN 0 ELSE {start} + r * {spacing} + 3100 END,
       115200, 'na', 3000000, 0, 0,
       CASE WHEN r >= {runs} - {stations} THEN 'running' ELSE 'finished' END
FROM generate_series(0, {runs} - 1) AS r;

INSERT INTO device_runs (station_run, serial, address, started_at, ended_at, verdict, download,
                         reason, status, error, cycles, burntime, failed_items, failed_ports)
SELECT run + 1,
       CASE WHEN i % 50 = 49 AND i >= 5001 THEN 10000000 + i - 5001 ELSE 10000000 + i END,
       '192.180.' || (i % {per_run} / 250 + 1) || '.' || (i % {per_run} + 1),
       {start} + run * {spacing} + 30,
       CASE WHEN running THEN 0 ELSE {start} + run * {spacing} + 3000 + i % {per_run} END,
       CASE WHEN running THEN 'running' WHEN h < 60 THEN 'failed' WHEN h < 64 THEN 'lost'
            ELSE 'passed' END,
       'not requested', '', 16, 0, 500, 3000,
       CASE WHEN h < 60 AND h % 3 <> 0 AND NOT running
            THEN (ARRAY['COM', 'LAN1', 'LAN2', 'USB', 'RTC', 'CAN', 'AUDIO', 'WIFI'])
                 [floor(sqrt(h * 7 % 64))::int + 1] || ':' || (h % 9 + 1)
            ELSE '' END,
       CASE WHEN h < 60 AND h % 3 <> 1 AND NOT running
            THEN (h * 13 % 64 / 8) || ':' || (h % 5 + 1) ELSE '' END
FROM (SELECT i, i / {per_run} AS run, (i::bigint * 2654435761) % 1000 AS h,
             i / {per_run} >= {runs} - {stations} AS running
      FROM generate_series(0, {n} - 1) AS i) AS g;
"""


class Http(http.client.HTTPConnection):
    """HTTP to a server on the loopback of a network namespace."""

    def __init__(self, namespace, port):
        super().__init__("127.0.0.1", port, timeout=60)
        self.namespace = namespace

    def connect(self):
        self.sock = netns.socket_in(self.namespace, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect((self.host, self.port))


def fill(pg, station, n):
    runs = n // DEVICES_PER_RUN
    start = int(time.time()) - YEAR
    done = station("resume", "--db", pg.url("plant"), "--station", "bench", timeout=60)
    assert pg.query("plant", "SELECT version FROM ovikstation_schema"), done.dump()
    began = time.monotonic()
    pg.query("plant", FILL.format(stations=STATIONS, start=start, spacing=YEAR // runs,
                                  runs=runs, per_run=DEVICES_PER_RUN, n=n))
    pg.query("plant", "VACUUM ANALYZE")  # as after a night's autovacuum
    return time.monotonic() - began


def measure(build, n, rounds, screenshot):
    with Network(station=str(build / "src/station/ovikstation")) as net, \
            contextlib.closing(pgserver.PrivateServer(net.pc_netns)) as pg:
        pg.create_database("plant")
        pgserver.COMMAND_TIMEOUT = 1800
        seconds = fill(pg, net.station, n)
        count = pg.query("plant", "SELECT count(*) FROM device_runs")[0][0]
        print(f"{count} device runs written in {seconds:.0f} s")
        serve = net.start_station("serve", "--web", "127.0.0.1:0", "--db", pg.url("plant"),
                                  timeout=3600)
        m = netns.wait_for(lambda: re.search(r"on http://127\.0\.0\.1:(\d+)/", serve.stdout), 15)
        if not m:
            sys.exit(serve.dump())
        port = int(m.group(1))
        web = Http(net.pc_netns, port)
        print(f"{'request':<36} {'median ms':>10} {'max ms':>8} {'bytes':>7}")
        for path in CHARTS:
            times = []
            for _ in range(rounds):
                began = time.monotonic()
                web.request("GET", path)
                answer = web.getresponse()
                body = answer.read()
                times.append((time.monotonic() - began) * 1000)
                if answer.status != 200:
                    sys.exit(f"{path}: HTTP {answer.status}: {body[:300]}")
            print(f"{path:<36} {statistics.median(times):>10.1f} {max(times):>8.1f} "
                  f"{len(body):>7}")
        if screenshot:
            from browser import Browser, missing
            if missing():
                sys.exit(missing())
            with contextlib.closing(Browser(net.pc_netns, net.dir / "browser")) as browser:
                browser.get(f"http://127.0.0.1:{port}/plant#month")
                browser.wait_for("return document.querySelectorAll('#pareto-ports .bar').length"
                                 " > 0 && document.querySelectorAll('.cell').length > 0", 60)
                print(f"screenshot: {browser.screenshot(screenshot)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "release")
    parser.add_argument("--runs", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--screenshot", type=Path)
    args = parser.parse_args()
    reason = pgserver.missing() or netns.missing_facilities()
    if reason:
        sys.exit(reason)
    measure(args.build.resolve(), args.runs, args.rounds, args.screenshot)


if __name__ == "__main__":
    main()
