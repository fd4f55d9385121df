"""The station's commands against emulated devices (ovikline-emulator, the agent's own host-link
code): listen, a run that the first failure stops, a download the devices are not configured
for, and abort of the runs that a killed station left. Each case checks the station's lines,
its exit status and its records. A line's messages to a real MQTT broker that goes away for a
while."""

import contextlib
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import time

import pytest

from ovikline import burnin, emulate, netns
from ovikline.network import _Process, eth0_address

LAN2 = burnin.config(extra="AloneBurn = y\n[ethernet]\nTestLAN2 = y\n")
# The devices' first announcements spread over 3 s; a second more for the last one's.
DISCOVER = 4
RUN = ["run", "--discover", DISCOVER]
STATION_TIMEOUT = 30
ADDRESS = {serial: re.escape(eth0_address(serial)) for serial in (1, 2)}
NOT_CONFIGURED = ("no answer to the download command after 4 tries: the agent is likely not "
                  "configured for a firmware download (info:DownloadFWR in its configuration)")
ABORTED = "aborted by ovikstation abort: the run was stopped and declared failed"

# Per case: the devices' faults by serial number, their configuration, the station's command
# ("abort": a run whose station is killed once every device runs, then `ovikstation abort`), its
# exit status, patterns of its output lines, and the records by serial number: verdict,
# download, and a text that the reason or the failed items show.
CASES = {
    "listen": (
        {1: [], 2: []}, None, ["listen", "--seconds", DISCOVER], 0,
        [rf"serial {s} +address {ADDRESS[s]} +software 0x0000  AP 0x00000000  status idle"
         for s in (1, 2)] + ["2 agents found"], {}),
    "stop-all-on-fail": (
        {1: [("fail-item", "LAN2", 2)], 2: []}, LAN2,
        RUN + ["--duration", 60, "--stop-all-on-fail"], 1,
        [rf"stopping every agent: serial 1 at {ADDRESS[1]} reported a failure \(LAN2:\d+\)"],
        {1: ("failed", "not requested", "LAN2:"),
         2: ("stopped", "not requested", f"serial 1 at {eth0_address(1)} reported a failure")}),
    # The second device announces itself again within 3 s, while the first one's run goes on.
    "expect": (
        {1: [], 2: []}, None, RUN + ["--expect", 1, "--duration", 4], 0,
        [r"serial \d at [\d.]+ not driven: --expect 1 reached", "1 of 1 agent passed"], {}),
    "firmware-not-configured": (
        {1: []}, None, RUN + ["--duration", 1, "--firmware", "fw.bin"], 1,
        [re.escape(f"{eth0_address(1)} (serial 1): {NOT_CONFIGURED}")],
        {1: ("passed", "no answer", NOT_CONFIGURED)}),
    "abort": (
        {1: [], 2: []}, None, "abort", 1,
        [r"aborting 2 agents of 1 run of station \S+ from ",
         rf"{ADDRESS[2]} \(serial 2\): re-adopted, running; stopping it declared failed"],
        {1: ("failed", "not requested", ABORTED), 2: ("failed", "not requested", ABORTED)}),
}


def records(db):
    with contextlib.closing(sqlite3.connect(db)) as connection:
        rows = connection.execute("SELECT serial, verdict, download, reason || ' ' || "
                                  "failed_items FROM device_runs ORDER BY id").fetchall()
    return {serial: rest for serial, *rest in rows}


def abort_after_kill(net, db):
    """A run killed once every device runs, its --json file still the previous run's; then the
    abort of what it left."""
    report = db.parent / "line.json"
    report.write_text("[]\n")
    run = net.start_station(*RUN, "--duration", 60, "--db", db, "--json", report,
                            timeout=STATION_TIMEOUT)
    started = netns.wait_for(lambda: run.stdout.count("run started") == 2, 10)
    os.kill(run.process.pid, signal.SIGKILL)
    run.wait()
    assert started, run.dump()
    assert report.read_text() == "[]\n"
    return net.station("abort", "--db", db, timeout=STATION_TIMEOUT)


@pytest.mark.parametrize("case", CASES)
def test_station_emulated(station_net, case):
    faults, config, command, status, lines, recorded = CASES[case]
    program = emulate.program()
    if not (program and os.access(program, os.X_OK)):
        pytest.skip(f"no ovikline-emulator program (set OVIK_EMULATOR): {program}")
    net, db = station_net, station_net.dir / "station.db"
    emulation = emulate.Emulation(net, faults, config, program)
    try:
        assert emulation.wait_ready(), emulation.dump()
        if command == "abort":
            station = abort_after_kill(net, db)
        else:
            records_to = ["--db", db] if command[0] == "run" else []
            station = net.station(*command, *records_to, timeout=STATION_TIMEOUT)
    finally:
        emulation.stop()
    assert (station.timed_out, station.returncode) == (False, status), station.dump()
    for pattern in lines:
        assert re.search(rf"^{pattern}", station.stdout, re.M), (pattern, station.dump())
    got = records(db) if recorded else {}
    assert got.keys() == recorded.keys(), got
    for serial, (verdict, download, text) in recorded.items():
        assert got[serial][:2] == [verdict, download] and text in got[serial][2], got[serial]


class Broker:
    """A mosquitto broker on the PC namespace's loopback that keeps its sessions and retained
    messages across a restart."""

    def __init__(self, net, port=18830):
        self.net, self.port, self.starts = net, port, 0
        self.conf = net.dir / "mosquitto.conf"
        self.conf.write_text(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser root\n"
                             f"persistence true\npersistence_location {net.dir}/\n")
        self.process = None

    def start(self):
        self.starts += 1
        log = self.net.dir / f"mosquitto{self.starts}.log"
        self.process = netns_process(self.net, ["mosquitto", "-c", self.conf], log)
        assert netns.wait_for(lambda: " running" in log.read_text(), 10), log.read_text()

    def stop(self):
        if self.process:
            self.process.stop()


def netns_process(net, argv, log):
    return _Process(["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", net.pc_netns,
                     *map(str, argv)], log, log, append=True)


def messages(text, kind):
    """The JSON bodies of the topics ending in kind that a `mosquitto_sub -v` printed."""
    return [json.loads(line.split(" ", 1)[1]) for line in text.splitlines()
            if line.startswith("ovikstation/") and line.split(" ", 1)[0].endswith(kind)]


def test_station_emulated_mqtt(station_net):
    """A line's events reach a real broker in order and without gaps, and each device's verdict
    stays retained, though the broker is down for 20 s in the middle of the run (when the first
    device fails)."""
    program = emulate.program()
    if not (program and os.access(program, os.X_OK)
            and all(map(shutil.which, ("mosquitto", "mosquitto_sub")))):
        pytest.skip(f"no ovikline-emulator program (OVIK_EMULATOR: {program}) or mosquitto")
    net, db = station_net, station_net.dir / "station.db"
    broker, events = Broker(net), net.dir / "events.log"
    sub = ["mosquitto_sub", "-h", "127.0.0.1", "-p", broker.port, "-q", "1"]
    emulation = emulate.Emulation(net, {1: [("fail-item", "LAN2", 8)], 2: [], 3: []}, LAN2,
                                  program)
    plant = None
    try:
        broker.start()
        plant = netns_process(
            net, ["stdbuf", "-oL", *sub, "-d", "-c", "-i", "plant", "-t", "ovikstation/#", "-v"],
            events)
        assert netns.wait_for(lambda: "SUBACK" in events.read_text(), 10), events.read_text()
        assert emulation.wait_ready(), emulation.dump()
        run = net.start_station(*RUN, "--duration", 26, "--db", db, "--mqtt",
                                f"mqtt://127.0.0.1:{broker.port}", timeout=STATION_TIMEOUT + 30)
        assert netns.wait_for(lambda: run.stdout.count("run started") == 3, 10), run.dump()
        broker.stop()
        assert netns.wait_for(lambda: "is unreachable" in run.stderr, 5), run.dump()
        time.sleep(20)  # the outage itself
        broker.start()
        run.wait()
        verdicts = subprocess.run(["ip", "netns", "exec", net.pc_netns, *map(str, sub), "-v",
                                   "-t", "ovikstation/+/device/+/verdict", "--retained-only",
                                   "-C", "3", "-W", "5"], capture_output=True, text=True)
    finally:
        for process in (emulation, broker, plant):
            if process:
                process.stop()
    assert (run.timed_out, run.returncode) == (False, 1), run.dump()
    assert run.stderr.count("is unreachable") == run.stderr.count("answers again") == 1, \
        run.dump()
    got, numbers = {}, []
    for e in messages(events.read_text(), "/event"):
        if e["number"] not in numbers:
            numbers.append(e["number"])
            got.setdefault(e["serial"], []).append(e["kind"])
    assert numbers == list(range(1, len(numbers) + 1)), numbers
    assert got == {1: ["found", "started", "failure", "stopped"],
                   2: ["found", "started", "stopped"], 3: ["found", "started", "stopped"]}, got
    retained = {e["serial"]: e["verdict"] for e in messages(verdicts.stdout, "/verdict")}
    assert retained == {1: "failed", 2: "passed", 3: "passed"}, verdicts
    with contextlib.closing(sqlite3.connect(db)) as connection:
        assert connection.execute("SELECT COUNT(*) FROM outbox WHERE sent_at IS NULL")\
            .fetchone() == (0,)
