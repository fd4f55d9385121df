#!/usr/bin/env python3
"""Station cost on a simulated line (run as root, release build): N devices at the agents' full
report rate (a diagnostic command every 100 ms wakes each agent for a report), the station's
CPU time per device per minute over the running phase, and whether every device finished
without being lost.

Usage: bench/line-bench.py [--build DIR] [--sizes 8,16,32] [--seconds S]
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))

from ovikline import netns  # noqa: E402
from ovikline.network import Network, eth0_address  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
DISCOVER = 10
START_DELAY = 8  # the start answer comes late without a hardware clock


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def line(build, size, seconds):
    with Network(agent=str(build / "src/main/ovikburn"),
                 station=str(build / "src/station/ovikstation")) as net:
        for i in range(size):
            serial = 3000 + i
            dut = net.add_dut()
            dut.start("-q", "-s", str(serial), "-i", eth0_address(serial))
        report = net.dir / "line.json"
        run = net.start_station("run", "--discover", DISCOVER, "--duration",
                                seconds + START_DELAY, "--diagnostic-ms", "100", "--json",
                                report, "--db", net.dir / "line.db",
                                timeout=DISCOVER + seconds + 120)
        pid = run.process.pid
        time.sleep(DISCOVER + START_DELAY)
        before = cpu_seconds(pid)
        time.sleep(seconds)
        after = cpu_seconds(pid)
        run.wait()
        records = json.loads(report.read_text()) if report.exists() else []
        passed = sum(1 for r in records if r["verdict"] == "passed")
        lost = sum(1 for r in records if r["verdict"] == "lost")
        per_device_minute_ms = (after - before) * 1000 / size / (seconds / 60)
        return per_device_minute_ms, passed, lost, run.returncode


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=str(ROOT / "build" / "release"))
    p.add_argument("--sizes", default="8,16,32")
    p.add_argument("--seconds", type=int, default=30)
    args = p.parse_args()
    missing = netns.missing_facilities()
    if missing:
        sys.exit(f"cannot run the benchmark here: {missing}")
    print("| devices | station CPU per device per minute | passed | lost | exit |")
    print("|---:|---:|---:|---:|---:|")
    for size in (int(s) for s in args.sizes.split(",")):
        cost, passed, lost, status = line(Path(args.build), size, args.seconds)
        print(f"| {size} | {cost:.1f} ms | {passed} | {lost} | {status} |", flush=True)


if __name__ == "__main__":
    main()
