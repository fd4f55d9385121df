"""Simulated production lines (ovikline): the station's verdicts, failed items, failed ports
and downloads on a line of eight devices must be exactly the faults its description injected,
in its JSON, CSV and JUnit reports and its run records; `ovikline check` refuses descriptions
that cannot run, naming the device and what to change; `ovikline down` removes everything a
killed `ovikline up` left."""

import csv
import io
import os
import select
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from ovikline import cli, line, state

LINES = Path(__file__).resolve().parent / "lines"
OVIKLINE = Path(__file__).resolve().parents[2] / "ovikline" / "bin" / "ovikline"
IN_VM = os.environ.get("OVIK_VM") == "1"
DISCOVER = 8
UP_TIMEOUT = 30.0
# The command's own checks need no driver: the test machine runs only the every-fault line.
ON_HOST_ONLY = pytest.mark.skipif(IN_VM, reason="the command's own checks run on the host")


@pytest.mark.parametrize("name", ["every-fault.toml", "host-faults.toml"])
def test_line_station_reports_exactly_the_injected_faults(station_net, name):
    description = line.load(LINES / name)
    reason = line.missing(description)
    if reason:
        pytest.skip(reason)
    if IN_VM and name == "host-faults.toml":
        pytest.skip("every-fault.toml covers these faults in the test machine")
    net = station_net
    out = net.dir / "reports"
    assert cli.run_line(net, description, out, DISCOVER) == 0
    run = net.station_runs[-1]
    reports = {kind: out / name for kind, name in (("json", "line.json"), ("csv", "line.csv"),
                                                   ("junit", "line.xml"), ("db", "station.db"))}
    assert not run.timed_out

    want, got, differences = line.compare(description, reports["json"])
    assert not differences, "\n".join(differences)
    assert len(got) == len(description.devices) >= 8
    assert run.returncode == 1  # some devices failed
    faulty = {serial for serial, outcome in want.items()
              if outcome["verdict"] == "failed" or outcome["download"] == "failed"}

    rows = list(csv.DictReader(io.StringIO(reports["csv"].read_text())))
    assert {int(r["serial"]): (r["verdict"], r["download"]) for r in rows} == \
        {serial: (o["verdict"], o["download"]) for serial, o in want.items()}
    # Each device's own clock ran through its run: the burn time is the run's duration.
    assert all(abs(int(r["burntime"]) - description.duration) <= 3 for r in rows), rows

    # JUnit: one suite per device named by its serial, failing cases exactly where the line
    # put a fault (its item or port, and the verdict).
    suites = ElementTree.parse(reports["junit"]).getroot().findall("testsuite")
    failing = {int(suite.get("name")): {case.get("name") for case in suite.findall("testcase")
                                        if case.find("failure") is not None}
               for suite in suites}
    assert failing == {serial: set(o["items"]) | {f"port {p}" for p in o["ports"]}
                       | ({"verdict"} if serial in faulty else set())
                       for serial, o in want.items()}

    # Every run is on record by serial number.
    for serial in sorted(faulty)[:2]:
        history = net.station("history", str(serial), "--db", reports["db"], timeout=30)
        assert history.returncode == 0 and str(serial) in history.stdout, history.stdout


@pytest.mark.parametrize("text, complaint", [
    ("[line]\nduration = 30\n", "no [[device]] entries"),
    ("[line]\nduration = 30\ntests = ['serial']\n[[device]]\nserial = 1\n"
     "faults = { serial-drops = 4 }\n", "serial-drops must be a serial port number 0 to 3"),
    ("[line]\nduration = 30\ntests = ['serial']\n[[device]]\nserial = 1\n"
     "faults = { modem-silent = true }\n", "needs the test 'cellular'"),
    ("[line]\nduration = 30\ntests = ['cellular']\n[[device]]\nserial = 1\n"
     "faults = { modem-silent = true }\n", "make [line] duration 50 s or more"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { upgrade-fails = true }\n",
     "needs a firmware file"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\n[[device]]\nserial = 'AB-0001'\n",
     "device 2 (serial 1): serial 1 is used twice (also by device 1)"),
    ("[line]\nduration = 30\n[[device]]\nserial = 254\n[[device]]\nserial = 507\n",
     "device 2 (serial 507): its eth0 address 192.180.2.1 is also device 1's (serial 254)"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { agent-restart = 30 }\n",
     "device 1 (serial 1): fault agent-restart must come before the stop: make it 1 to 29 s"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { cable-loss = 0 }\n",
     "device 1 (serial 1): fault cable-loss must be a whole number of percent from 1 to 100"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nfaults = { fire = true }\n",
     "unknown fault 'fire'"),
    ("[line]\nduration = 30\n[[device]]\nserial = 1\nconfig = 'none.cfg'\n",
     "device 1 (serial 1): cannot read the configuration"),
])
@ON_HOST_ONLY
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


@ON_HOST_ONLY
def test_line_down_after_a_killed_up_leaves_nothing(namespaces, agent_program, station_program,
                                                    tmp_path):
    name = f"killed-{os.getpid()}"
    description = tmp_path / "killed.toml"
    description.write_text(f"[line]\nname = '{name}'\nduration = 10\ntests = ['serial']\n"
                           "[[device]]\nserial = 21\n[[device]]\nserial = 22\n")
    up = subprocess.Popen([OVIKLINE, "up", description, "--agent", agent_program,
                           "--station", station_program], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    said = ""
    try:
        deadline = time.monotonic() + UP_TIMEOUT
        while "takes it down" not in said and up.poll() is None and time.monotonic() < deadline:
            if select.select([up.stdout], [], [], deadline - time.monotonic())[0]:
                said += up.stdout.readline()
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
