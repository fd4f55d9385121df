"""A station that ends without finishing its runs: stopped by SIGINT, or killed, the agents go
on; `ovikstation resume` takes them back and finishes each run as planned, and the records show
one complete run per device. A device that restarts in its run is on the line of
test_line.py. Records that a station could not write are taken in by the next one."""

import contextlib
import json
import os
import re
import signal
import sqlite3
import time

import pytest

import runs
from ovikline import burnin, netns

DURATION = 8
STATION_TIMEOUT = DURATION + burnin.STATION_OVERHEAD


@pytest.mark.parametrize("how", ["SIGINT", "SIGKILL"])
def test_station_resume_finishes_the_runs(station_net, how):
    net = station_net
    serials = (3101, 3102)
    duts = [runs.device(net, serial) for serial in serials]
    for dut in duts:
        dut.start("-e")
    for dut in duts:
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), dut.name
    db, report = net.dir / "station.db", net.dir / "run.json"
    run = net.start_station("run", "--discover", "4", "--duration", DURATION, "--db", db,
                            "--json", report, timeout=STATION_TIMEOUT)
    # The start answers come 1 to 4 s late.
    assert netns.wait_for(lambda: run.stdout.count("run started") >= 2,
                          burnin.START_ANSWER_TIMEOUT + 5), run.stdout
    os.kill(run.process.pid, getattr(signal, how))
    run.wait()
    if how == "SIGINT":
        assert run.returncode == 130
        assert "ovikstation: interrupted; 2 runs left running on the devices: `ovikstation " \
               f"resume --db {db}` takes them back" in run.stderr
    else:
        assert run.returncode == -signal.SIGKILL
    # Nobody stopped the devices.
    assert not any(">>Receive stop command" in dut.console() for dut in duts)

    began = time.monotonic()
    resume = net.start_station("resume", "--db", db, "--port", 21099, timeout=STATION_TIMEOUT)
    assert netns.wait_for(lambda: "re-adopted 2 of 2 agents" in resume.stdout, 10), resume.stdout
    print(f"{how}: from resume's start to every agent re-adopted: "
          f"{time.monotonic() - began:.2f} s")
    resume.wait()
    assert resume.returncode == 0 and "2 of 2 agents passed" in resume.stdout, resume.stderr

    entries = json.loads(report.read_text())
    assert sorted((e["serial"], e["verdict"]) for e in entries) == [(s, "passed") for s in serials]
    for serial, dut in zip(serials, duts):
        assert dut.wait_command("/bin/PassLED.sh", 5.0 * burnin.SLOW), dut.name
        assert dut.console().count(">>Receive start command") == 1, dut.name
        history = net.station("history", serial, "--db", db, timeout=30)
        assert history.returncode == 0 and f"serial {serial}: 1 run in" in history.stdout
        assert re.search(rf"\s{re.escape(dut.address)}\s+passed\s", history.stdout)


def test_station_resume_takes_in_the_records_a_locked_file_kept_out(station_net):
    """Another program holds the records file's write lock from the run's start to past its
    end: the device passes, the station keeps the rows beside the report and exits 3, and the
    next station that opens the records takes them in."""
    dut = runs.device(station_net, 3201).start("-e")
    assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT)
    db, report = station_net.dir / "station.db", station_net.dir / "run.json"
    run = station_net.start_station("run", "--agent", dut.address, "--duration", 4, "--db", db,
                                    "--json", report, timeout=STATION_TIMEOUT + 15)
    assert netns.wait_for(lambda: "polling agent" in run.stdout, 10), run.stderr
    with contextlib.closing(sqlite3.connect(db, timeout=10, isolation_level=None)) as lock:
        lock.execute("BEGIN EXCLUSIVE")
        run.wait()
    assert run.returncode == 3, run.stderr
    assert re.search(rf"^ovikstation run: the run records in --db {db} are \d+ s behind \(\d+ "
                     r"rows? waiting: cannot write: database is locked\); the devices go on, "
                     r"and the records follow when the database answers$", run.stderr, re.M)
    kept = re.search(rf"^ovikstation run: (\d+) run records of run 1 not written to --db {db} "
                     r"within 10 s \(cannot write: database is locked\): kept in (\S+), which "
                     rf"the next ovikstation that opens --db {db} takes in$", run.stderr, re.M)
    assert kept and os.path.dirname(kept[2]) == str(station_net.dir), run.stderr
    assert [e["verdict"] for e in json.loads(report.read_text())] == ["passed"]

    # Until a station takes them in, a reader of the records is told where they are.
    before = station_net.station("history", 3201, "--db", db, timeout=30).stderr
    assert (f"ovikstation history: rows of run 1 are kept in {kept[2]}, not yet in {db}: the "
            f"next ovikstation run, resume or abort with --db {db} takes them in\n") in before

    resume = station_net.station("resume", "--db", db, "--port", 21099, timeout=30)
    assert f"took {kept[1]} unwritten run records from {kept[2]} into --db {db}\n" \
        in resume.stdout and not os.path.exists(kept[2]), (resume.stdout, resume.stderr)
    assert resume.returncode == 1 and "no unfinished run" in resume.stderr
    history = station_net.station("history", 3201, "--db", db, timeout=30)
    assert re.search(rf"\s{re.escape(dut.address)}\s+passed\s", history.stdout), history.stdout
    assert "kept in" not in history.stderr, history.stderr
