"""Plant-wide run records in a PostgreSQL server that the tests start on the PC namespace's
loopback: two stations record their runs into one new database at the same moment (the first
to come creates the schema), then each records a run of the device the other had, and
`ovikstation history` finds every run of a device whichever station recorded it. A server
stopped in the middle of a run holds neither the run nor its records."""

import contextlib
import re
import signal
import time

import pytest

import pgserver
from ovikline import burnin, netns

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
    assert postgresql.query("plant", "SELECT version FROM ovikstation_schema") == [["3"]]
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
