"""Plant-wide run records in a PostgreSQL server that the tests start on the PC namespace's
loopback: two stations record their runs into one new database at the same moment (the first
to come creates the schema), then each records a run of the device the other had, and
`ovikstation history` finds every run of a device whichever station recorded it. A server
stopped in the middle of a run holds neither the run nor its records. The plant page, in
headless Chromium, shows two lines of emulated devices live while they record into one
database, and then the yield, failures and retests that their faults make."""

import contextlib
import json
import re
import signal
import time

import pytest

import pgserver
from browser import Browser
from ovikline import burnin, emulate, netns
from ovikline.network import Network

DURATION = 2
STATION_TIMEOUT = DURATION + burnin.STATION_OVERHEAD
STATIONS = (("line-a", 21201), ("line-b", 21202))
SERIALS = (5101, 5102)


@pytest.fixture
def postgresql(station_net):
    reason = pgserver.missing()
    if reason:
        pytest.skip(reason)
    with contextlib.closing(pgserver.PrivateServer(station_net.pc_netns)) as server:
        server.create_database("plant")
        yield server


def run_round(net, url, agents):
    """Each station of STATIONS runs its agent of agents, all at once; both must pass."""
    runs = [net.start_station("run", "--agent", dut.address, "--duration", DURATION,
                              "--port", port, "--station", station, "--db", url,
                              timeout=STATION_TIMEOUT)
            for (station, port), dut in zip(STATIONS, agents)]
    for run in runs:
        run.wait()
        assert not run.timed_out
        assert run.returncode == 0, (run.stdout, run.stderr)


def history_rows(net, url, serial):
    """(station, address, verdict) per run in the history table, newest first."""
    run = net.station("history", serial, "--db", url, timeout=30)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == f"serial {serial}: 2 runs in {url}, newest first", run.stdout
    assert re.match(r"ENDED\s+STARTED\s+STATION\s+ADDRESS\s+VERDICT\s", lines[1]), run.stdout
    rows = []
    for line in lines[2:]:
        m = re.search(r"\s(line-[ab])\s+(\S+)\s+(\w+)\s", line)
        if m:
            rows.append(m.groups())
    return rows


def test_plant_records_two_stations_share_postgresql(station_net, postgresql):
    net = station_net
    url = postgresql.url("plant")
    first = []
    for serial in SERIALS:
        dut = net.add_dut(bootenv={"serialnumber": f"TB{serial}", "mm_flags": "0"},
                          config=burnin.config())
        dut.start("-e")
        first.append(dut)
    # The same devices on a second rack position: same serial number, another address.
    second = [net.add_dut().start("-s", str(serial), "-i", f"192.180.60.{n}")
              for n, serial in enumerate(SERIALS, 1)]
    for dut in first + second:
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), dut.name

    run_round(net, url, first)                  # line-a: 5101, line-b: 5102
    run_round(net, url, list(reversed(second)))  # line-a: 5102, line-b: 5101

    expected = {
        SERIALS[0]: [("line-b", second[0].address, "passed"),
                     ("line-a", first[0].address, "passed")],
        SERIALS[1]: [("line-a", second[1].address, "passed"),
                     ("line-b", first[1].address, "passed")],
    }
    for serial, runs in expected.items():
        assert history_rows(net, url, serial) == runs, serial
    unknown = net.station("history", "5999", "--db", url, timeout=30)
    assert unknown.returncode == 1
    assert unknown.stderr == f"ovikstation history: no run of serial 5999 in {url}\n"

    # What the stations made of the new database: the current schema, a row per station
    # run and per device run, each device's final record as JSON.
    assert postgresql.query("plant", "SELECT version FROM ovikstation_schema") == [["6"]]
    rows = postgresql.query("plant", "SELECT s.station, d.serial, d.record->>'serial'"
                                     " FROM device_runs d JOIN station_runs s"
                                     " ON s.id = d.station_run")
    assert sorted(map(tuple, rows)) == [("line-a", "5101", "5101"), ("line-a", "5102", "5102"),
                                        ("line-b", "5101", "5101"), ("line-b", "5102", "5102")]


def test_plant_records_stopped_server_holds_no_run(station_net, postgresql):
    """The server is stopped (SIGSTOP) from the run's first rows until well past the writer's
    patience with a statement: the device still passes, and the station says once that its
    records fell behind and once that they caught up, on a connection made anew."""
    url = postgresql.url("plant")
    dut = station_net.add_dut(bootenv={"serialnumber": "TB5201", "mm_flags": "0"},
                              config=burnin.config()).start("-e")
    assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT)
    run = station_net.start_station("run", "--agent", dut.address, "--duration", 12, "--db",
                                    url, timeout=12 + burnin.STATION_OVERHEAD)
    assert netns.wait_for(lambda: "polling agent" in run.stdout, 10), run.stderr
    assert netns.wait_for(lambda: postgresql.query("plant", "SELECT count(*) FROM device_runs")
                          == [["1"]], 10, interval=0.2), run.stderr
    postgresql.signal(signal.SIGSTOP)
    try:
        assert netns.wait_for(lambda: " s behind (" in run.stderr, 10), run.stderr
        time.sleep(5)  # the fault: longer than a statement may wait
    finally:
        postgresql.signal(signal.SIGCONT)
    assert netns.wait_for(lambda: " caught up after " in run.stderr, 20), run.stderr
    assert run.wait().returncode == 0, (run.stdout, run.stderr)
    assert run.stderr.count(" s behind (") == 1 and run.stderr.count(" caught up after ") == 1
    assert postgresql.query("plant", "SELECT d.verdict, s.state FROM device_runs d JOIN "
                                     "station_runs s ON s.id = d.station_run") == [
        ["passed", "finished"]]


# Both lines' devices test LAN2 and four serial ports. Per line: its station, its devices'
# faults by serial number, its run's seconds. Serial 101 fails LAN2 on line-a and passes on
# line-b, whose run ends later: a retest.
PLANT_CONFIG = burnin.config(extra="AloneBurn = y\n[ethernet]\nTestLAN2 = y\n[uart]\n"
                             "TestSerial = y\nMODEMDEVICE = /dev/ttyS\nportnum = 4\n")
LINES = (("line-a", {101: [("fail-item", "LAN2", 1)], 102: [], 103: []}, 5),
         ("line-b", {201: [("fail-port", 2, 1)], 202: [], 101: []}, 10))
DISCOVER = 7  # the first announcements spread over 3 s, the next 3 s later
# Per station card: its state and its devices' cells' kinds, by serial number.
CARDS = """return Object.fromEntries([...document.querySelectorAll('.station-card')].map((c) =>
  [c.dataset.station, [c.dataset.state, [...c.querySelectorAll('.cell')].map((e) =>
    [Number(e.textContent), e.classList[1]]).sort((a, b) => a[0] - b[0])]]));"""
CHARTS = """const bars = (id) => [...document.querySelectorAll(`#${id} .bar`)].map((b) =>
  [b.dataset.name, [...b.querySelectorAll('.value, .sub')].map((t) => t.textContent).join(' ')]);
return {yield: bars('yield'), items: bars('pareto-items'), ports: bars('pareto-ports'),
        cumulative: [...document.querySelectorAll('circle.cumulative')].map((c) =>
          c.dataset.share), retest: document.getElementById('retest').textContent};"""


def test_plant_records_plant_page_two_lines(station_net, postgresql, agent_program,
                                           station_program, chromium, artifacts):
    program = emulate.program()
    if not program:
        pytest.skip("no ovikline-emulator built")
    # Over the server's Unix socket, which both lines' namespaces reach.
    url = f"postgresql://{pgserver.USER}@/plant?host={postgresql.dir}&port={postgresql.port}"
    with Network(agent=agent_program, station=station_program) as other:
        nets = (station_net, other)
        emulations = [emulate.Emulation(net, faults, PLANT_CONFIG, program)
                      for net, (_, faults, _) in zip(nets, LINES)]
        assert all(e.wait_ready() for e in emulations), [e.dump() for e in emulations]
        runs = [net.start_station("run", "--discover", DISCOVER, "--expect", len(faults),
                                  "--duration", seconds, "--station", station, "--db", url,
                                  timeout=DISCOVER + seconds + burnin.STATION_OVERHEAD)
                for net, (station, faults, seconds) in zip(nets, LINES)]
        serve = station_net.start_station("serve", "--web", "127.0.0.1:0", "--db", url)
        page = netns.wait_for(lambda: re.search(r" on (http://\S+/)$", serve.stdout, re.M), 15)
        assert page, serve.dump()
        with contextlib.closing(Browser(station_net.pc_netns, station_net.dir / "browser")) as web:
            web.get(page.group(1) + "plant")
            running = {station: ["running", [[s, "running"] for s in sorted(faults)]]
                       for station, faults, _ in LINES}
            assert web.wait_for(f"const c = (() => {{ {CARDS} }})();"
                                "return JSON.stringify(c) === arguments[0]", 30,
                                json.dumps(running, separators=(",", ":"))), web.run(CARDS)
            for run in runs:
                assert run.wait().returncode == 1, run.dump()
            kinds = {("line-a", 101): "failing", ("line-b", 201): "failing"}
            ended = {station: ["finished", [[s, kinds.get((station, s), "clean")]
                                            for s in sorted(faults)]]
                     for station, faults, _ in LINES}
            assert web.wait_for(f"return JSON.stringify((() => {{ {CARDS} }})()) === "
                                "arguments[0]", 10, json.dumps(ended, separators=(",", ":"))), \
                web.run(CARDS)
            web.run("plant.refreshCharts()")
            charts = web.wait_for(f"const c = (() => {{ {CHARTS} }})();"
                                  "return c.retest && c.ports.length ? c : null", 10)
            assert charts == {
                "yield": [["line-a", "66.7 % 2 of 3"], ["line-b", "66.7 % 2 of 3"]],
                "items": [["LAN2", "1"]], "ports": [["port 2", "1"]],
                "cumulative": ["100.0", "100.0"],
                "retest": "Retest rate 20.0 %: of 5 devices, 2 failed a run and 1 of those "
                          "passed a later one."}, charts
            web.screenshot(artifacts / "plant.png")
            # A device's cell leads to its runs on every station.
            web.click('.station-card[data-station="line-b"] a.cell[href$="/101"]')
            rows = web.wait_for("const r = [...document.querySelectorAll('#runs tbody tr')];"
                                "return r.length ? r.map((e) => [e.cells[2].textContent,"
                                " e.cells[4].textContent]) : null", 10)
            assert rows == [["line-b", "passed"], ["line-a", "failed"]], rows
            # A station killed outright leaves its run recorded running, without its lock.
            postgresql.query("plant", "UPDATE station_runs SET state = 'running' "
                                      "WHERE station = 'line-a'")
            web.get(page.group(1) + "plant")
            assert web.wait_for(f"const c = (() => {{ {CARDS} }})();"
                                "return c['line-a'] && c['line-a'][0] === 'unattended'", 10), \
                web.run(CARDS)
