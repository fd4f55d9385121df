"""A station that ends without finishing its runs: stopped by SIGINT, or killed, the agents go
on; `ovikstation resume` takes them back and finishes each run as planned, and the records show
one complete run per device. A device that restarts in the middle of its run is failed and shows
its fail LED."""

import json
import os
import re
import signal
import time

import pytest

from ovikline import burnin, netns

DURATION = 8
STATION_TIMEOUT = DURATION + burnin.STATION_OVERHEAD
RESUME_PORT = 21099


def started_devices(net, serials):
    duts = []
    for serial in serials:
        dut = net.add_dut(bootenv={"serialnumber": f"TB{serial}", "mm_flags": "0"},
                          config=burnin.config())
        dut.start("-e")
        duts.append(dut)
    for dut in duts:
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), dut.name
    return duts


def wait_runs_started(run, count):
    """Waits until the station has count runs started (the start answers come 1 to 4 s late)."""
    assert netns.wait_for(lambda: run.stdout.count("run started") >= count,
                          burnin.START_ANSWER_TIMEOUT + 5), run.stdout


def history(net, db, serial):
    out = net.station("history", serial, "--db", db, timeout=30)
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.parametrize("how", ["SIGINT", "SIGKILL"])
def test_station_resume_finishes_the_runs(station_net, how):
    net = station_net
    serials = (3101, 3102)
    duts = started_devices(net, serials)
    db, report = net.dir / "station.db", net.dir / "run.json"
    run = net.start_station("run", "--discover", "4", "--duration", DURATION, "--db", db,
                            "--json", report, timeout=STATION_TIMEOUT)
    wait_runs_started(run, len(duts))
    os.kill(run.process.pid, getattr(signal, how))
    run.wait()
    if how == "SIGINT":
        assert run.returncode == 130
        assert "ovikstation: interrupted; 2 runs left running on the devices: `ovikstation " \
               f"resume --db {db}` takes them back" in run.stderr
    else:
        assert run.returncode == -signal.SIGKILL
    # Nobody stopped the devices.
    for dut in duts:
        assert ">>Receive stop command" not in dut.console(), dut.name

    began = time.monotonic()
    resume = net.start_station("resume", "--db", db, "--port", RESUME_PORT,
                               timeout=STATION_TIMEOUT)
    assert netns.wait_for(lambda: "re-adopted 2 of 2 agents" in resume.stdout, 10), resume.stdout
    print(f"{how}: from resume's start to every agent re-adopted: "
          f"{time.monotonic() - began:.2f} s")
    resume.wait()
    assert resume.returncode == 0, (resume.stdout, resume.stderr)
    assert "2 of 2 agents passed" in resume.stdout

    entries = json.loads(report.read_text())
    assert sorted((e["serial"], e["verdict"]) for e in entries) == [(s, "passed") for s in serials]
    for serial, dut in zip(serials, duts):
        assert dut.wait_command("/bin/PassLED.sh", 5.0 * burnin.SLOW), dut.name
        assert dut.console().count(">>Receive start command") == 1, dut.name
        lines = history(net, db, serial)
        assert f"serial {serial}: 1 run in" in lines, lines
        assert re.search(rf"\s{re.escape(dut.address)}\s+passed\s", lines), lines


def test_station_rebooted_device_is_failed(station_net):
    net = station_net
    (dut,) = started_devices(net, (3201,))
    db = net.dir / "station.db"
    run = net.start_station("run", "--agent", dut.address, "--duration", 30, "--db", db,
                            "--port", RESUME_PORT, timeout=30 + burnin.STATION_OVERHEAD)
    wait_runs_started(run, 1)
    # The device restarts: its agent comes up again, idle, its counters at 0.
    dut.reboot()

    run.wait()
    assert run.returncode == 1, (run.stdout, run.stderr)
    assert "rebooted; starting it and stopping it declared failed" in run.stdout
    assert re.search(rf"^3201\s+{re.escape(dut.address)}\s+failed\s", run.stdout, re.M), run.stdout
    assert dut.wait_command("/bin/FailLED.sh", 5.0 * burnin.SLOW)
    assert "Burning fail !" in dut.console()
    lines = history(net, db, 3201)
    assert "serial 3201: 1 run in" in lines and ": rebooted during the run" in lines, lines
