"""Simulated production lines (ovikline): the station's verdicts, failed items, failed ports
and downloads on a line of eight devices must be exactly the faults its description injected,
in its JSON, CSV and JUnit reports and its run records, also when the plant around it is at
fault (records held, the PC cut off, stray frames, a second station); `ovikline check` refuses
descriptions that cannot run, naming the device and what to change; `ovikline down` removes
everything a killed `ovikline up` left."""

import json
import os
import select
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from ovikline import cli, emulate, line, state

LINES = Path(__file__).resolve().parent / "lines"
OVIKLINE = Path(__file__).resolve().parents[2] / "ovikline" / "bin" / "ovikline"
DISCOVER = 8
UP_TIMEOUT = 30.0
REBOOTED = 521


@pytest.mark.xdist_group("timing")
def test_line_station_reports_exactly_the_injected_faults(station_net):
    description = line.load(LINES / "faults.toml")
    reason = line.missing(description)
    if reason:
        pytest.skip(reason)
    net = station_net
    out = net.dir / "reports"
    wall, mono = time.time(), time.monotonic()
    # The lossy device's announcements come every 3 s and one in five is lost: the station
    # listens until all have announced themselves, for at most 20 s.
    expect = ["--expect", str(len(description.devices))]
    assert cli.run_line(net, description, out, 20, expect) == 0
    # The devices' own clocks and hwclock stand-ins left this machine's clock alone.
    assert abs(time.time() - wall - (time.monotonic() - mono)) < 1.0
    run = net.station_runs[-1]
    assert not run.timed_out and run.returncode == 1  # some devices failed

    # The comparison holds each device to its verdict, the lossy one to the verdicts it may get.
    want, got, differences = line.compare(description, {"json": out / "line.json"})
    assert not differences, "\n".join(differences)
    assert len(got) == len(description.devices) >= 8
    report = {entry["serial"]: entry for entry in json.loads((out / "line.json").read_text())}
    assert "rebooted" in report[REBOOTED]["reason"], report[REBOOTED]
    # Each device's own clock ran through its run: the burn time is the run's duration.
    assert all(abs(e["record"]["burntime"] - description.duration) <= 3
               for e in report.values() if e["verdict"] == "passed"), report
    # The JUnit report fails the suites of failed runs and downloads (the run compared the
    # CSV and JUnit reports' devices and the records' verdicts with the JSON report's).
    suites = ElementTree.parse(out / "line.xml").getroot().findall("testsuite")
    failing = {int(suite.get("name")) for suite in suites
               if any(case.find("failure") is not None for case in suite.findall("testcase"))}
    decided = {serial for serial, outcome in want.items() if outcome["download"] != line.ANY}
    assert failing & decided == {serial for serial in decided if report[serial]["verdict"]
                                 == "failed" or report[serial]["download"] == "failed"}
    for serial in report:
        history = net.station("history", str(serial), "--db", out / "station.db", timeout=30)
        assert f"serial {serial}: 1 run in" in history.stdout, history.stdout
        assert (": rebooted during the run" in history.stdout) == (serial == REBOOTED), serial


@pytest.mark.xdist_group("timing")
@pytest.mark.parametrize("name, discover", [("plant.toml", DISCOVER), ("plant-room.toml", 4)])
def test_line_station_survives_the_plant(station_net, name, discover):
    description = line.load(LINES / name)
    if description.emulated and not os.access(emulate.program() or "", os.X_OK):
        pytest.skip(f"no ovikline-emulator program (set OVIK_EMULATOR): {emulate.program()}")
    # Each device's verdict as it earned it, one record each, whole reports, and every fault
    # of the line injected as described (the run's own comparison, shown on failure).
    assert cli.run_line(station_net, description, station_net.dir / "out", discover) == 0


def line_text(line="", device=""):
    return f"[line]\nduration = 30\n{line}[[device]]\nserial = 1\n{device}"


@pytest.mark.parametrize("text, complaint", [
    ("[line]\nduration = 30\n", "no [[device]] entries"),
    (line_text("tests = ['serial']\n", "faults = { serial-drops = 4 }\n"),
     "serial-drops must be a serial port number 0 to 3"),
    (line_text("tests = ['serial']\n", "faults = { modem-silent = true }\n"),
     "needs the test 'cellular'"),
    (line_text("tests = ['cellular']\n", "faults = { modem-silent = true }\n"),
     "make [line] duration 50 s or more"),
    (line_text(device="faults = { upgrade-fails = true }\n"), "needs a firmware file"),
    (line_text(device="[[device]]\nserial = 'AB-0001'\n"),
     "device 2 (serial 1): serial 1 is used twice (also by device 1)"),
    ("[line]\nduration = 30\n[[device]]\nserial = 254\n[[device]]\nserial = 507\n",
     "device 2 (serial 507): its eth0 address 192.180.2.1 is also device 1's (serial 254)"),
    (line_text(device="faults = { agent-restart = 30 }\n"),
     "device 1 (serial 1): fault agent-restart must come before the stop: make it 1 to 29 s"),
    (line_text(device="faults = { cable-loss = 0 }\n"),
     "device 1 (serial 1): fault cable-loss must be a whole number of percent from 1 to 100"),
    (line_text(device="faults = { fire = true }\n"), "unknown fault 'fire'"),
    (line_text(device="config = 'none.cfg'\n"),
     "device 1 (serial 1): cannot read the configuration"),
    (line_text("outage = { at = 20, seconds = 11 }\n"),
     "[line] outage must end within the run: at + seconds at most 30"),
    (line_text("records-stall = 12\n"), "[line] records-stall must be a table { at = T, seconds"),
], ids=range(13))
def test_line_check_refuses_with_the_device_and_what_to_change(tmp_path, text, complaint):
    path = tmp_path / "line.toml"
    path.write_text(text)
    done = subprocess.run([OVIKLINE, "check", path], capture_output=True, text=True, timeout=60)
    assert done.returncode == cli.EXIT_REFUSED, done.stdout + done.stderr
    assert done.stderr.startswith(f"ovikline: {path}: ") and complaint in done.stderr


def line_leftovers(files, namespaces, processes):
    """What of a line still exists: its namespaces (and their mounts under /run/netns), live
    processes it recorded or whose working directory or command line is in its files."""
    mounts = Path("/proc/self/mountinfo").read_text()
    found = [ns for ns in namespaces if Path("/run/netns", ns).exists() or f"/{ns} " in mounts]
    found += [f"process {pid}" for pid, started in processes
              if state.start_time(pid) == started]
    for entry in Path("/proc").iterdir():
        try:
            cwd = os.readlink(entry / "cwd") if entry.name.isdigit() else ""
            command = (entry / "cmdline").read_bytes() if cwd else b""
        except OSError:
            continue
        if cwd.startswith(files) or files.encode() in command:
            found.append(f"process {entry.name} in {cwd}: {command!r}")
    return found


def test_line_down_after_a_killed_up_leaves_nothing(namespaces, agent_program, station_program,
                                                    tmp_path):
    name = f"killed-{os.getpid()}"
    description = tmp_path / "killed.toml"
    description.write_text(f"[line]\nname = '{name}'\nduration = 10\ntests = ['serial']\n"
                           "[[device]]\nserial = 21\n[[device]]\nserial = 22\n")
    up = subprocess.Popen([OVIKLINE, "up", description, "--agent", agent_program,
                           "--station", station_program], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    said = ""
    try:
        deadline = time.monotonic() + UP_TIMEOUT
        while "takes it down" not in said and up.poll() is None and time.monotonic() < deadline:
            if select.select([up.stdout], [], [], deadline - time.monotonic())[0]:
                said += os.read(up.stdout.fileno(), 4096).decode()
        ledger = state.LineState(name).entries()
        files = next(values[0] for kind, values in ledger if kind == "files")
        made = [values[0] for kind, values in ledger if kind == "namespace"]
        processes = [(int(v[0]), int(v[1])) for kind, v in ledger if kind == "process"]
        assert len(made) == 3 and len(processes) == 2, said
        assert line_leftovers(files, made, processes), said
    finally:
        up.kill()
        up.wait(timeout=10)
        down = subprocess.run([OVIKLINE, "down", name], capture_output=True, text=True,
                              timeout=60)
    assert down.returncode == 0, down.stdout + down.stderr
    assert not line_leftovers(files, made, processes)
    assert not state.LineState(name).exists()
