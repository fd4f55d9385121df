"""A station that ends without finishing its runs: stopped by SIGINT, or killed, the agents go
on; `ovikstation resume` takes them back and finishes each run as planned, and the records show
one complete run per device. A device that restarts in its run is on the line of
test_line.py."""

import json
import os
import re
import signal
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
