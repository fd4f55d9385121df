#!/usr/bin/env python3
"""The station at room scale (run as root, release build): N emulated devices (ovikline's
emulator, one process in a namespace of its own, on the simulated factory network) driven by
`ovikstation run --discover` through a run with a firmware download, every device at the full
report rate (--diagnostic-ms 100: about 10 status reports a second each). Prints per size the
station's CPU time per device per minute over the running phase, its peak RSS, the status
reports lost (the station's own count against the numbers the reports carry) and the
datagrams the kernel dropped for a full receive queue, the time from the first stop the station
sends to the last verdict, the time the station takes to write the records at the end and what
it writes to storage while the devices run (the records kept up to date).

With --stall S and/or --outage S the run goes through the plant's faults (ovikline's plant.py):
the records held by another program S seconds from 10 s into the run (an exclusive transaction
on the SQLite file, or with --records postgresql a private PostgreSQL server stopped with
SIGSTOP), then the test PC cut off from the line for S seconds from 10 s after the stall. It
prints per size the reports received, those lost in the outage (the devices' frames the outage
dropped) and outside it, the devices lost, and the time the records took to catch up after the
stall (from the stall's end to the station's "caught up" line; "behind" names its first line
saying the records fall behind).

Usage: bench/line-bench.py [--build DIR] [--sizes 100,300,1000] [--seconds S]
                           [--stall S] [--outage S] [--records sqlite|postgresql]
"""

import argparse
import collections
import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))

from ovikline import burnin, emulate, netns, plant  # noqa: E402
from ovikline.network import Network  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
DISCOVER = 4  # the emulated devices' first announcements spread over 3 s
SETTLE = 6  # from the station's start until every device runs
STOP = re.compile(r"\(serial (\d+)\): stopping the run")
VERDICT = re.compile(r"\(serial (\d+)\): run (?:passed|failed) after")
RECORDED = re.compile(r"^recorded \d+ agents? in --db .* in ([0-9.]+) s$")
REPORTS = re.compile(r"^status reports of \d+ runs?: (\d+) of (\d+) received")
# The station's lines about its records: falling behind (held by another program), caught up.
BEHIND = re.compile(r"\bbehind\b")
CAUGHT_UP = re.compile(r"\bcaught up\b")
FAULT_AT = 10  # seconds into the run of the first fault, and between the stall and the outage
AFTER_FAULTS = 20  # seconds of the run after the last fault


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def disk_writes(pid):
    """Bytes the process has had written to storage."""
    for line in Path(f"/proc/{pid}/io").read_text().splitlines():
        if line.startswith("write_bytes:"):
            return int(line.split()[1])
    return 0


def udp_drops(namespace):
    """The namespace's UDP datagrams dropped for a full receive queue."""
    text = netns.run(["ip", "netns", "exec", namespace, "cat", "/proc/net/snmp"]).stdout
    header, values = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    return int(dict(zip(header, values))["RcvbufErrors"])


class Station:
    """ovikstation in the PC namespace, its output read line by line as it comes, each line
    with the time it came."""

    def __init__(self, net, argv, timeout):
        self.lines = []
        self.err_lines = []
        self.popen = subprocess.Popen(
            ["setpriv", "--pdeathsig", "KILL", "ip", "netns", "exec", net.pc_netns, *argv],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, start_new_session=True)
        net.track(self.popen.pid)
        self.timeout = timeout
        self.stderr = ""
        self._readers = [threading.Thread(target=self._read_out, daemon=True),
                         threading.Thread(target=self._read_err, daemon=True)]
        for reader in self._readers:
            reader.start()

    def _read_out(self):
        for line in self.popen.stdout:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def _read_err(self):
        for line in self.popen.stderr:
            self.err_lines.append((time.monotonic(), line.rstrip("\n")))
        self.stderr = "\n".join(line for _, line in self.err_lines)

    def wait(self):
        """Exit status and resource use (setpriv and ip exec the station: same process)."""
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            pid, status, usage = os.wait4(self.popen.pid, os.WNOHANG)
            if pid:
                self.popen.returncode = os.waitstatus_to_exitcode(status)
                for reader in self._readers:
                    reader.join(5)
                return self.popen.returncode, usage
            time.sleep(0.2)
        os.killpg(self.popen.pid, signal.SIGKILL)
        self.popen.wait()
        raise RuntimeError(f"the station did not end within {self.timeout} s")


def plant_faults(stall, outage):
    """The line's faults of a run with a records stall and an outage of these seconds (0: none),
    and the seconds the run needs for them."""
    faults, at = {}, FAULT_AT
    if stall:
        faults["records-stall"] = {"at": at, "seconds": stall}
        at += stall + FAULT_AT
    if outage:
        faults["outage"] = {"at": at, "seconds": outage}
        at += outage
    return faults, at + AFTER_FAULTS


def records_server(net, kind, stack):
    """(--db, RecordsStall) for the run's records: an SQLite file, or a private PostgreSQL
    server (test/web/pgserver.py) in the PC namespace, closed by stack."""
    if kind == "sqlite":
        path = net.dir / "run.db"
        return str(path), plant.RecordsStall.sqlite(path)
    sys.path.insert(0, str(ROOT / "test" / "web"))
    import pgserver
    missing = pgserver.missing()
    if missing:
        sys.exit(f"cannot run the benchmark with PostgreSQL records: {missing}")
    server = stack.enter_context(contextlib.closing(pgserver.PrivateServer(net.pc_netns)))
    server.create_database("bench")
    return server.url("bench"), plant.RecordsStall.server(server.process.pid)


def measure(build, size, seconds, faults=None, records="sqlite"):
    os.environ["OVIK_EMULATOR"] = str(build / "ovikline/ovikline-emulator")
    with Network(station=str(build / "src/station/ovikstation")) as net, \
            contextlib.ExitStack() as stack:
        serials = emulate.serials(size, set())
        emulation = emulate.Emulation(net, {s: [] for s in serials},
                                      burnin.config(download=True), emulate.program())
        if not emulation.wait_ready():
            raise RuntimeError(f"the emulator is not ready:\n{emulation.dump()}")
        report = net.dir / "run.json"
        db, stall = records_server(net, records, stack)
        drops_before = udp_drops(net.pc_netns)
        station = Station(net, [str(build / "src/station/ovikstation"), "run", "--discover",
                                str(DISCOVER), "--duration", str(seconds), "--diagnostic-ms",
                                "100", "--firmware", "fw.bin", "--json", str(report), "--db",
                                db], timeout=seconds + 180 + FAULT_AT * 6)
        run_start = time.monotonic() + DISCOVER
        played = plant.PlantFaults(net, faults or {}, run_start, seconds, {}, records=stall)
        time.sleep(SETTLE)
        pid = station.popen.pid
        before, emulator_before = cpu_seconds(pid), cpu_seconds(emulation.process.pid)
        written_before = disk_writes(pid)
        window = seconds - SETTLE
        time.sleep(window)
        after, emulator_after = cpu_seconds(pid), cpu_seconds(emulation.process.pid)
        written = disk_writes(pid) - written_before
        try:
            status, usage = station.wait()
        finally:
            played.stop()
        drops = udp_drops(net.pc_netns) - drops_before
        emulation.stop()
        records = json.loads(report.read_text()) if report.exists() else []

    passed = sum(1 for r in records if r["verdict"] == "passed" and r["download"] == "done")
    stops, verdicts, record_s, received, lost = {}, {}, None, 0, None
    for at, line in station.lines:
        if m := STOP.search(line):
            stops.setdefault(m.group(1), at)
        elif m := VERDICT.search(line):
            verdicts[m.group(1)] = at
        elif m := RECORDED.match(line):
            record_s = float(m.group(1))
        elif m := REPORTS.match(line):
            received, lost = int(m.group(1)), int(m.group(2)) - int(m.group(1))
    stop_to_verdict = (max(verdicts.values()) - min(stops.values())) if stops and verdicts else None
    behind = caught_up = None
    if played.stall is not None and played.stall.ended is not None:
        said = sorted(station.lines + station.err_lines)
        behind = next((at - played.stall.began for at, line in said
                       if at >= played.stall.began and BEHIND.search(line)), None)
        caught_up = next((at - played.stall.ended for at, line in said
                          if at >= played.stall.began and CAUGHT_UP.search(line)), None)
    outage_lost = played.outage.dropped_reports if played.outage is not None else 0
    slowest = max((verdicts[s] - stops[s] for s in verdicts if s in stops), default=None)
    return {
        "devices": size,
        "cpu_ms": (after - before) * 1000 / size / (window / 60),
        "station_share": (after - before) / window * 100,
        "emulator_share": (emulator_after - emulator_before) / window * 100,
        "rss_kib": usage.ru_maxrss,
        "received": received,
        "lost": lost,
        "drops": drops,
        "stop_to_verdict": stop_to_verdict,
        "slowest": slowest,
        "record_s": record_s,
        "written_kib_s": written / 1024 / window,
        "passed": passed,
        "found": len(records),
        "outcomes": collections.Counter((r["verdict"], r["download"]) for r in records),
        "status": status,
        "stderr": station.stderr.strip(),
        "lost_in_outage": outage_lost,
        "lost_outside": None if lost is None else max(0, lost - outage_lost),
        "devices_lost": sum(1 for r in records if r["verdict"] in ("lost", "unknown")),
        "behind": behind,
        "caught_up": caught_up,
        "faults": played.summary(),
        "problems": played.problems,
    }


def seconds_text(value):
    return "-" if value is None else f"{value:.2f} s"


def plant_table(args):
    faults, needed = plant_faults(args.stall, args.outage)
    seconds = max(args.seconds, needed)
    print(f"{seconds} s runs, --diagnostic-ms 100, records in {args.records}: "
          + "; ".join(plant.fault_text(name, value) for name, value in faults.items()))
    print("| devices | reports received | lost (the station's count) | in the outage | outside it "
          "| dropped by the kernel | devices lost | records behind after | caught up after the "
          "stall | passed with download (of those found) | exit |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for size in (int(s) for s in args.sizes.split(",")):
        r = measure(Path(args.build), size, seconds, faults, args.records)
        print(f"| {r['devices']} | {r['received']:,} | {r['lost']} | {r['lost_in_outage']:,} "
              f"| {r['lost_outside']} | {r['drops']} | {r['devices_lost']} "
              f"| {seconds_text(r['behind'])} | {seconds_text(r['caught_up'])} "
              f"| {r['passed']} ({r['found']}) | {r['status']} |", flush=True)
        for text in r["faults"] + r["problems"]:
            print(f"  {text}", flush=True)
        if r["passed"] != size:
            print(f"  outcomes: {dict(r['outcomes'])}", flush=True)
        if r["stderr"]:
            print(f"  station stderr: {r['stderr'][-500:]}", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=str(ROOT / "build" / "release"))
    p.add_argument("--sizes", default="100,300,1000")
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--stall", type=int, default=0, metavar="S",
                   help="the records held by another program for S seconds")
    p.add_argument("--outage", type=int, default=0, metavar="S",
                   help="the test PC cut off from the line for S seconds")
    p.add_argument("--records", choices=("sqlite", "postgresql"), default="sqlite")
    args = p.parse_args()
    missing = netns.missing_facilities()
    if missing:
        sys.exit(f"cannot run the benchmark here: {missing}")
    if args.stall or args.outage:
        plant_table(args)
        return
    print("| devices | station CPU per device per minute (share of a core) | emulator's share "
          "| peak RSS | reports received | lost | dropped by the kernel | first stop to last "
          "verdict (slowest device) | records written at the end | disk writes while running "
          "| passed with download (of those found) | exit |")
    print("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for size in (int(s) for s in args.sizes.split(",")):
        r = measure(Path(args.build), size, args.seconds)
        print(f"| {r['devices']} | {r['cpu_ms']:.1f} ms ({r['station_share']:.1f} %) "
              f"| {r['emulator_share']:.1f} % | {r['rss_kib']:,} KiB | {r['received']:,} "
              f"| {r['lost']} | {r['drops']} | {seconds_text(r['stop_to_verdict'])} "
              f"({seconds_text(r['slowest'])}) | {seconds_text(r['record_s'])} "
              f"| {r['written_kib_s']:,.0f} KiB/s | {r['passed']} ({r['found']}) "
              f"| {r['status']} |", flush=True)
        if r["passed"] != size:
            print(f"  outcomes: {dict(r['outcomes'])}", flush=True)
        if r["stderr"]:
            print(f"  station stderr: {r['stderr'][-500:]}", flush=True)


if __name__ == "__main__":
    main()
