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
import socket
import urllib.parse
import sqlite3
import subprocess
import time

import pytest

from ovikline import burnin, emulate, netns
from ovikline.network import PC_ADDRESS, _Process, eth0_address

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


# The verdict hook: a program that records each call's standard input, failing its first call
# (the next station makes that call again), or one that hangs (killed after the bound).
HOOKS = {
    "records": ('test -e {dir}/failed || {{ touch {dir}/failed; cat >/dev/null; '
                'echo "no label printer" >&2; exit 3; }}; cat >> {dir}/calls'),
    "hangs": "exec sleep 60",
}


@pytest.mark.parametrize("hook", HOOKS)
def test_station_emulated_hook(station_net, hook):
    program = emulate.program()
    if not (program and os.access(program, os.X_OK)):
        pytest.skip(f"no ovikline-emulator program (set OVIK_EMULATOR): {program}")
    net, db, report = station_net, station_net.dir / "station.db", station_net.dir / "line.json"
    script = net.dir / "hook"
    script.write_text("#!/bin/sh\n" + HOOKS[hook].format(dir=net.dir) + "\n")
    script.chmod(0o755)
    hooked = ["--db", db, "--station", "line-1", "--on-verdict", script,
              "--on-verdict-timeout", 1]
    emulation = emulate.Emulation(net, {1: [("fail-item", "LAN2", 1)], 2: []}, LAN2, program)
    try:
        assert emulation.wait_ready(), emulation.dump()
        run = net.station(*RUN, "--duration", 3, "--json", report, *hooked,
                          timeout=STATION_TIMEOUT)
    finally:
        emulation.stop()
    assert (run.timed_out, run.returncode) == (False, 1), run.dump()
    assert {s: r[0] for s, r in records(db).items()} == {1: "failed", 2: "passed"}, run.dump()
    if hook == "hangs":
        assert run.stderr.count("did not end within 1 s (--on-verdict-timeout) and was "
                                "killed") == 2, run.dump()
        return
    assert ("ended with exit status 3; the next ovikstation run or resume with --on-verdict "
            "makes the call again; its stderr: no label printer") in run.stderr, run.dump()
    again = net.station("resume", *hooked, timeout=STATION_TIMEOUT)
    assert "1 --on-verdict call that earlier stations left is made again" in again.stderr, \
        again.dump()
    calls = sorted((json.loads(line) for line in (net.dir / "calls").read_text().splitlines()),
                   key=lambda c: c["serial"])
    expected = [dict(entry, station="line-1", run=1) for entry in json.loads(report.read_text())]
    assert calls == sorted(expected, key=lambda c: c["serial"]), (run.dump(), again.dump())


def http_get(net, port, path):
    """The body of GET path from port of the PC's address, asked from inside its namespace."""
    with contextlib.closing(netns.socket_in(net.pc_netns, socket.SOCK_STREAM)) as sock:
        sock.settimeout(5)
        sock.connect((PC_ADDRESS, port))
        sock.sendall(f"GET {path} HTTP/1.0\r\nHost: station\r\n\r\n".encode())
        answer = b"".join(iter(lambda: sock.recv(65536), b""))
    return answer.split(b"\r\n\r\n", 1)[1].decode()


def test_station_emulated_metrics(station_net):
    """A real Prometheus scrapes /metrics of a run (a device failing LAN2), then of serve over
    its records: its queries give the failing item live and the verdicts after."""
    program = emulate.program()
    if not (program and os.access(program, os.X_OK) and shutil.which("prometheus")):
        pytest.skip("no ovikline-emulator program (set OVIK_EMULATOR) or no prometheus")
    net, db = station_net, station_net.dir / "station.db"
    web, api = f"{PC_ADDRESS}:8080", 9090
    (net.dir / "prometheus.yml").write_text(
        "scrape_configs:\n  - job_name: station\n    scrape_interval: 1s\n"
        f"    static_configs:\n      - targets: ['{web}']\n")
    prometheus = _Process(
        ["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", net.pc_netns, "prometheus",
         f"--config.file={net.dir}/prometheus.yml", f"--storage.tsdb.path={net.dir}/tsdb",
         f"--web.listen-address={PC_ADDRESS}:{api}"],
        net.dir / "prometheus.out", net.dir / "prometheus.err")
    net.track(prometheus.pid)

    def query(expression):
        with contextlib.suppress(OSError, IndexError, ValueError):
            body = json.loads(http_get(net, api, "/api/v1/query?query=" +
                                       urllib.parse.quote(expression)))
            return {tuple(sorted(r["metric"].items())): r["value"][1]
                    for r in body["data"]["result"]}
        return {}

    labels = {"__name__": "ovikstation_failing_devices", "instance": web, "item": "LAN2",
              "job": "station", "line": "line-1"}
    live = {tuple(sorted(labels.items())): "1"}
    total = {(("verdict", "failed"),): "1", (("verdict", "passed"),): "1"}
    verdicts = "sum by (verdict) (ovikstation_verdicts_total)"
    emulation = emulate.Emulation(net, {1: [("fail-item", "LAN2", 1)], 2: []}, LAN2, program)
    serve = None
    try:
        assert emulation.wait_ready(), emulation.dump()
        run = net.start_station(*RUN, "--duration", 6, "--db", db, "--station", "line-1",
                                "--web", web, timeout=STATION_TIMEOUT)
        failing = netns.wait_for(lambda: query("ovikstation_failing_devices") == live, 15,
                                 interval=0.5)
        run.wait()
        # The run's last counts may miss the verdicts of its last moment; serve counts all.
        serve = net.start_station("serve", "--db", db, "--web", web, timeout=STATION_TIMEOUT)
        netns.wait_for(lambda: query(verdicts) == total, 10, interval=0.5)
        counted = query(verdicts)
    finally:
        emulation.stop()
        for process in (serve.process if serve else None, prometheus):
            if process:
                process.stop()
    dumps = (run.dump(), serve.dump() if serve else "")
    assert run.returncode == 1, dumps
    assert failing, dumps
    assert counted == total, (counted, dumps)
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
