#!/usr/bin/env python3
"""Soak run of one agent in the simulated factory network (root; not part of the test run).

The device burns in with every test this machine can give it: the serial loop-back on four
ports (one plug loses bytes, so a failure is reported and logged every cycle), the raw-frame
loop-back on eth1 to eth3, memory, the TPM2 self test, a GPS receiver and a cellular modem. A PC
drives the run and queries it every 100 ms (the agent's full report rate), while a second
socket sends random junk datagrams to the agent's port. Every 10 s the agent's open
descriptors, threads, resident memory, CPU time and child processes are sampled; a table and a
start/end summary follow. Exit status 1 when descriptors, threads or child processes grew (the
highest counts of the last quarter of the samples above those of the first quarter), the
resident memory grew by more than --rss-tolerance KiB, or a sanitizer reported.

Usage: bench/soak.py [--agent PATH] [--seconds 600] [--interval 10] [--junk-rate 20]

Everything runs inside the namespaces of the line simulator (ovikline) and is removed on every exit,
Ctrl-C and SIGTERM included.
"""

import argparse
import os
import random
import re
import signal
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "ovikline"))

from ovikline import burnin, ethernet, frames, netns, peripherals, serialplug  # noqa: E402
from ovikline.client import RawClient  # noqa: E402
from ovikline.network import Network  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
INODE = re.compile(r":\[\d+\]$")  # "socket:[12345]" -> "socket"
SERIAL = 4701
SERIAL_PREFIX = "/dev/ttyS"
SERIAL_PORTS = 4
LOSSY_PORT = 3
GPS_PORT = "/dev/ttyGPS0"
MODEM_PORT = "/dev/ttyUSB2"
TPM2_OUTPUT = "TPM2 full self test\nSelf test: Successfully completed.\n"
QUERY_PERIOD = 0.1
WARM_UP = 15.0  # the first cycles open every device once before the first sample
# Junk commands that would end or reset the run are turned into harmless ones.
RUN_COMMANDS = range(frames.CMD_QUERY, frames.CMD_DOWNLOAD + 1)
KNOWN_CODES = (frames.CMD_POLLING, *RUN_COMMANDS, frames.CMD_DOWNLOAD_RESET,
               frames.CMD_DOWNLOAD_CHECK, frames.CMD_SAVE, frames.CMD_ALIVE_CHECK,
               frames.CMD_DIAGNOSTIC)

CONFIG = burnin.config(extra=(
    "AloneBurn = y\n"
    f"[uart]\nTestSerial = y\nMODEMDEVICE = {SERIAL_PREFIX}\nportnum = {SERIAL_PORTS}\n"
    "[ethernet]\nTestLAN2 = y\nTestLAN3 = y\nTestLAN4 = y\n"
    "[memory]\nTestMEM = y\n"
    "[tpm]\nTestTPM2 = y\n"
    f"[gps]\nTestGPS = y\nGPSDEVICE = {GPS_PORT}\n"
    f"[cellular]\nTestCELL = y\nCELLDEVICE = {MODEM_PORT}\nINTERVAL = 0\n"))


def _interrupted(signum, frame):
    raise KeyboardInterrupt(f"signal {signum}")


def proc_status(pid):
    return Path(f"/proc/{pid}/status").read_text()


def sample(pid):
    """Open descriptors, threads, VmRSS (KiB), CPU seconds, child processes of pid."""
    status = proc_status(pid)
    threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
    rss = int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    stat = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    cpu = (int(stat[11]) + int(stat[12])) / TICKS
    children = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError, IndexError):
            continue
        children += int(fields[1]) == pid
    return {"fds": fds, "threads": threads, "rss": rss, "cpu": cpu, "children": children}


class Junk:
    """Random datagrams to the agent's port from a socket of their own: any length up to a
    full Ethernet payload, half of the full-length ones with a known command code."""

    def __init__(self, net, address, rng):
        self.client = RawClient(net, address)
        self.rng = rng
        self.sent = 0

    def send(self, agent_ser):
        rng = self.rng
        data = bytearray(rng.randbytes(rng.choice((rng.randrange(0, 128),
                                                   rng.randrange(128, 1473)))))
        if len(data) >= frames.COMMAND_SIZE:
            cmd = rng.choice(KNOWN_CODES) if rng.random() < 0.5 else \
                struct.unpack_from(">H", data)[0]
            if cmd == frames.CMD_RESET:
                cmd -= 1
            struct.pack_into(">H", data, 0, cmd)
            if cmd in RUN_COMMANDS:
                # Never the agent's sequence number: refused with a NAK, nothing changes.
                struct.pack_into(">H", data, 2, (agent_ser + 0x8000) & 0xFFFF)
        self.client.send(bytes(data))
        self.sent += 1
        # Answers and reports that come here are not looked at; keep the socket empty.
        self.client.drain()
        self.client.received.clear()


def start_device(net):
    dut = net.add_dut(bootenv={"serialnumber": f"TB{SERIAL}", "mm_flags": "0"}, config=CONFIG)
    dut.script_output("eltt2", TPM2_OUTPUT)
    for ifname in ("eth1", "eth2", "eth3"):
        ethernet.add_port(net, dut, ifname, plug=ethernet.LOOP)
    plugs = serialplug.loopbacks(SERIAL_PREFIX, SERIAL_PORTS, passed={LOSSY_PORT: 100})
    dut.start("-e", fixtures=[plugs, peripherals.receiver(GPS_PORT, "text"),
                              peripherals.modem(MODEM_PORT, "sierra")])
    if not dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT):
        raise burnin.StepFailed("the agent did not come up")
    return dut


def soak(net, args):
    dut = start_device(net)
    pid = dut.pid
    pc = RawClient(net, dut.address)
    junk = Junk(net, dut.address, random.Random(args.seed))
    burnin.start_run(pc)
    ser = 3
    counts = {"queries": 0, "answered": 0, "resynced": 0}
    rows = []
    began = time.monotonic()
    next_query = began
    next_sample = began + WARM_UP
    ends = began + WARM_UP + args.seconds
    junk_period = 1.0 / args.junk_rate if args.junk_rate > 0 else None
    next_junk = began
    print(f"agent pid {pid}, {args.seconds} s from the first sample, a sample every "
          f"{args.interval} s", flush=True)
    header = (f"{'t (s)':>6} {'fds':>4} {'threads':>7} {'RSS KiB':>8} {'CPU s':>7} "
              f"{'children':>8} {'cycles':>6} {'answered':>9} {'junk':>7}")
    last_frame = None
    while True:
        now = time.monotonic()
        if now >= next_sample:
            if not dut.running():
                raise burnin.StepFailed(f"the agent ended: exit status {dut.process.poll()}")
            s = sample(pid)
            s["t"] = now - (began + WARM_UP)
            s["cycles"] = last_frame.cycles if last_frame else 0
            s["answered"] = counts["answered"]
            s["junk"] = junk.sent
            s["files"] = open_files(pid)
            if not rows:
                print(header, flush=True)
            rows.append(s)
            print(f"{s['t']:6.0f} {s['fds']:4d} {s['threads']:7d} {s['rss']:8d} "
                  f"{s['cpu']:7.2f} {s['children']:8d} {s['cycles']:6d} {s['answered']:9d} "
                  f"{s['junk']:7d}", flush=True)
            if now >= ends:
                break
            next_sample += args.interval
        if junk_period is not None and now >= next_junk:
            junk.send(ser)
            next_junk += junk_period
        if now >= next_query:
            # An answer that came too late, and the status reports, must not be taken for the
            # answer to this query.
            pc.drain()
            pc.received.clear()
            pc.command(frames.CMD_QUERY, ser=ser)
            counts["queries"] += 1
            answer = pc.expect(lambda f: f.code in (0x8002, 0x4002), QUERY_PERIOD / 2)
            if answer is not None:
                counts["answered"] += 1
                last_frame = answer
                if answer.code == 0x8002:
                    ser = answer.ser
                else:  # refused: take the agent's number again
                    counts["resynced"] += 1
                    ser = answer.ser
            pc.received.clear()
            next_query += QUERY_PERIOD
            if next_query < time.monotonic():
                next_query = time.monotonic()
        time.sleep(max(0.0, min(next_query, next_sample, next_junk) - time.monotonic()))
    stop = burnin.stop_run(pc, ser=ser)
    return dut, rows, counts, junk.sent, stop


def open_files(pid):
    """What the agent's descriptors refer to, socket and pipe numbers left out."""
    names = []
    for fd in sorted(os.listdir(f"/proc/{pid}/fd"), key=int):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        names.append(f"{fd}:{INODE.sub('', target)}")
    return " ".join(names)


def summary(rows, counts, junk_sent, stop, rss_tolerance):
    first, last = rows[0], rows[-1]
    # Tests hold a device or socket open for a moment, so one sample may show one descriptor
    # more: compare the highest counts of the first and the last quarter of the run.
    k = max(1, len(rows) // 4)
    head, tail = rows[:k], rows[-k:]
    print()
    print("| | start | end | min | max |")
    print("|---|---:|---:|---:|---:|")
    for key, label in (("fds", "open descriptors"), ("threads", "threads"),
                       ("rss", "VmRSS (KiB)"), ("children", "child processes")):
        values = [r[key] for r in rows]
        print(f"| {label} | {first[key]} | {last[key]} | {min(values)} | {max(values)} |")
    cpu = last["cpu"] - first["cpu"]
    span = last["t"] - first["t"]
    print(f"| CPU time | | {cpu:.2f} s over {span:.0f} s ({100 * cpu / span:.2f} %) | | |")
    print()
    print(f"cycles {last['cycles']}, queries {counts['queries']} "
          f"({counts['answered']} answered, {counts['resynced']} after a refusal), "
          f"junk datagrams {junk_sent}, verdict status {stop.status} error {stop.error}")
    print(f"descriptors at the start: {first['files']}")
    print(f"descriptors at the end:   {last['files']}")
    flat = all(max(r[key] for r in tail) <= max(r[key] for r in head)
               for key in ("fds", "threads", "children"))
    flat = flat and last["rss"] - first["rss"] <= rss_tolerance
    print("flat" if flat else "NOT flat: descriptors, threads, children or memory grew")
    return flat


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--agent", default=str(ROOT / "build" / "release" / "src/main/ovikburn"))
    p.add_argument("--seconds", type=float, default=600.0)
    p.add_argument("--interval", type=float, default=10.0)
    p.add_argument("--junk-rate", type=float, default=20.0, help="junk datagrams a second")
    p.add_argument("--seed", type=int, default=1033)
    p.add_argument("--rss-tolerance", type=int, default=64, help="KiB of growth still flat")
    args = p.parse_args()
    if not os.access(args.agent, os.X_OK):
        sys.exit(f"soak: no agent program at {args.agent}")
    missing = netns.missing_facilities()
    if missing:
        sys.exit(f"soak: cannot run here: {missing}")
    # Ctrl-C, termination and hang-up all unwind through the network's clean-up, also when
    # the starting shell had SIGINT ignored (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _interrupted)
    signal.signal(signal.SIGHUP, _interrupted)

    with Network(agent=args.agent) as net:
        try:
            dut, rows, counts, junk_sent, stop = soak(net, args)
        except (burnin.StepFailed, ethernet.Unsupported) as exc:
            print(net.dump(), file=sys.stderr)
            sys.exit(f"soak: {exc}")
        reports = net.sanitizer_reports()
    flat = summary(rows, counts, junk_sent, stop, args.rss_tolerance)
    if reports:
        print("sanitizer reports:\n" + "\n\n".join(reports), file=sys.stderr)
    sys.exit(0 if flat and not reports else 1)


if __name__ == "__main__":
    main()
