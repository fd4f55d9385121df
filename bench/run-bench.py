#!/usr/bin/env python3
"""Benchmarks of the agent in the simulated factory network (run as root, release build).

  1. Round trip of a query command, p50 and p99 over 2,000 commands, against the agent and
     against a bare UDP echo server on the same kind of device, and their ratio.
  2. The agent's CPU time and peak resident memory over 60 s idle and 60 s running an empty
     plan (-n: running at once, no PC).

Usage: bench/run-bench.py [--build DIR] [--count N] [--seconds S]
"""

import argparse
import os
import re
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))

from ovikline import netns  # noqa: E402
from ovikline.network import Network  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def peak_rss_kib(pid):
    m = re.search(r"VmHWM:\s+(\d+) kB", Path(f"/proc/{pid}/status").read_text())
    return int(m.group(1))


def query_round_trip(net, tool, address, count):
    out = subprocess.run(["ip", "netns", "exec", net.pc_netns, tool, "query", address, "1033",
                          str(count)], capture_output=True, text=True, timeout=120, check=True)
    return {k: float(v) for k, v in re.findall(r"(\w+)=([\d.]+)", out.stdout)}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=str(ROOT / "build" / "release"))
    p.add_argument("--count", type=int, default=2000)
    p.add_argument("--seconds", type=int, default=60)
    args = p.parse_args()
    build = Path(args.build)
    agent = build / "src/main/ovikburn"
    tool = str(build / "bench/ovik-roundtrip")
    missing = netns.missing_facilities()
    if missing:
        sys.exit(f"cannot run the benchmarks here: {missing}")

    with Network(agent=str(agent)) as net:
        # 1. Round trip: the agent, then a bare echo server on a second device.
        dut = net.add_dut()
        dut.start("-s", "1234", "-i", "192.180.5.222")
        dut.wait_console("Send ALIVE", timeout=10)
        agent_rt = query_round_trip(net, tool, "192.180.5.222", args.count)

        echo = net.add_dut()
        netns.run(["ip", "-n", echo.netns, "addr", "add", "192.180.9.9/16", "dev", "eth0"])
        netns.run(["ip", "-n", echo.netns, "link", "set", "eth0", "up"])
        echo.start("echo", "1033", program=tool)
        time.sleep(0.5)
        echo_rt = query_round_trip(net, tool, "192.180.9.9", args.count)

        # 2. Cost over time: one agent idle, one running an empty plan, side by side.
        idle = net.add_dut()
        idle.start("-q", "-s", "1301", "-i", "192.180.6.1")
        running = net.add_dut()
        running.start("-q", "-n", "-s", "1302", "-i", "192.180.6.2")
        time.sleep(2)  # past the launcher's own start-up
        pids = {"idle": idle.process.pid, "running (-n)": running.process.pid}
        start = {k: cpu_seconds(p) for k, p in pids.items()}
        time.sleep(args.seconds)
        cost = {k: (cpu_seconds(p) - start[k], peak_rss_kib(p)) for k, p in pids.items()}

    print(f"Round trip of a query command over {args.count} commands (microseconds):")
    print("| target | p50 | p99 |")
    print("|---|---|---|")
    print(f"| agent | {agent_rt['p50_us']:.0f} | {agent_rt['p99_us']:.0f} |")
    print(f"| bare UDP echo | {echo_rt['p50_us']:.0f} | {echo_rt['p99_us']:.0f} |")
    print(f"| ratio | {agent_rt['p50_us'] / echo_rt['p50_us']:.2f} | "
          f"{agent_rt['p99_us'] / echo_rt['p99_us']:.2f} |")
    print()
    print(f"Agent cost over {args.seconds} s:")
    print("| state | CPU time (ms) | CPU share | peak RSS (KiB) |")
    print("|---|---|---|---|")
    for k, (cpu, rss) in cost.items():
        print(f"| {k} | {cpu * 1000:.0f} | {100 * cpu / args.seconds:.3f} % | {rss} |")


if __name__ == "__main__":
    main()
