"""Runs a simulated production line from a line description: the devices it lists, each with
the real ovikburn agent in network and mount namespaces of its own and the faults the
description injects, and ovikstation burning them all in at once from the test PC's namespace.
At the end it shows the station's table and its CSV report, and checks that the station's
verdicts, failed items and failed ports are exactly the injected faults.

    line.py LINE.toml [--out DIR] [--discover S]

The reports (line.json, line.csv, line.xml) and the station's run records (station.db) go to
DIR (default ./line-results). Exit status: 0 when the station reported exactly the injected
faults, 1 when it did not, 2 when the line cannot run here, 3 when the description is wrong.
"""

import argparse
import os
import signal
import sys
import time
from pathlib import Path

from . import burnin, line, netns
from .network import Network

REPO = Path(__file__).resolve().parents[2]

DEFAULT_AGENT = REPO / "build/release/src/main/ovikburn"
DEFAULT_STATION = REPO / "build/release/src/station/ovikstation"
FAULT_TEXT = {
    "serial-drops": "the plug on serial port {} loses bytes",
    "ethernet-no-loopback": "nothing plugged into {}",
    "can-wrong-id": "the CAN node answers with the wrong identifier",
    "modem-silent": "the modem never answers",
    "di-stuck-high": "input line DI{} is stuck high",
    "upgrade-fails": "its upgrade script fails",
}


def say(text=""):
    print(text, flush=True)


def show(label, text):
    for row in text.rstrip("\n").splitlines():
        say(f"    {label} | {row}")


def follow(run, timeout):
    """Copies the station's output here while it runs; bounded by timeout."""
    shown = 0
    deadline = time.monotonic() + timeout
    while True:
        finished = run.process.poll() is not None
        out = run.stdout
        complete = out.rfind("\n", shown) + 1
        if complete > shown:
            show("station", out[shown:complete])
            shown = complete
        if finished or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    if not finished:
        say("    the station did not finish in time; stopping it")
    run.wait(timeout=1)
    if run.stderr.strip():
        show("station stderr", run.stderr)
    return run.returncode


def describe(description):
    say(f"==> The line: {len(description.devices)} devices, testing "
        f"{', '.join(description.tests) or 'nothing but the host link'} for "
        f"{description.duration} s" + (f", then installing {description.firmware}"
                                         if description.firmware else ""))
    for device in description.devices:
        faults = [FAULT_TEXT[name].format(value) for name, value in device.faults.items()]
        say(f"    serial {device.serial:<5} {'; '.join(faults) if faults else 'no fault'}")


def run_line(description, agent, station, out, discover):
    out.mkdir(parents=True, exist_ok=True)
    reports = {"json": out / "line.json", "csv": out / "line.csv", "junit": out / "line.xml",
               "db": out / "station.db"}
    for kind in ("json", "csv", "junit"):
        reports[kind].unlink(missing_ok=True)
    with Network(agent=agent, station=station) as net:
        say(f"==> Cabling the devices and starting their agents (files: {net.dir})")
        built = line.Line(net, description)
        try:
            silent = built.wait_announced(10.0 * burnin.SLOW)
            if silent:
                for dut in silent:
                    show(dut.name, dut.console() + dut.stderr())
                say(f"    {len(silent)} device(s) did not come up")
                return 1
            args = built.station_args(discover, reports)
            say(f"==> ovikstation {' '.join(a.replace(str(out) + '/', '') for a in args)}")
            timeout = built.station_timeout(discover)
            status = follow(net.start_station(*args, timeout=timeout), timeout)
            say(f"    station exit status {status}")
        finally:
            built.stop()
    if not reports["json"].exists():
        say("    the station wrote no report")
        return 1
    say(f"==> The CSV report for the factory's systems ({reports['csv']})")
    show("csv", reports["csv"].read_text())
    say(f"    also: {reports['json']} (JSON), {reports['junit']} (JUnit XML), run records in "
        f"{reports['db']} (ovikstation history SERIAL --db {reports['db']})")
    want, got, differences = line.compare(description, reports["json"])
    say("==> The station's findings against the injected faults")
    for serial, outcome in sorted(want.items()):
        found = got.get(serial)
        mark = "ok" if found == outcome else "MISMATCH"
        say(f"    serial {serial:<5} {mark:<8} verdict {outcome['verdict']}, items "
            f"{','.join(outcome['items']) or '-'}, ports "
            f"{','.join(map(str, outcome['ports'])) or '-'}, download {outcome['download']}")
    for text in differences:
        say(f"    {text}")
    if differences:
        return 1
    say("    every verdict, failed item and failed port is exactly what the line injected")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.strip().splitlines()[0])
    parser.add_argument("description", help="the line description (TOML)")
    parser.add_argument("--out", default="line-results", help="where the reports go")
    parser.add_argument("--discover", type=int, default=8, help="discovery seconds (8)")
    parser.add_argument("--check", action="store_true",
                        help="only say whether the line can run on this machine (exit 0) or not")
    args = parser.parse_args()
    try:
        description = line.load(args.description)
    except line.LineError as exc:
        say(f"line.py: {exc}")
        return 3
    if args.check:
        reason = netns.missing_facilities() or line.missing(description)
        say(f"line.py: this line cannot run here: {reason}" if reason else "line.py: it can")
        return 2 if reason else 0
    agent = os.environ.get("OVIK_AGENT", str(DEFAULT_AGENT))
    station = os.environ.get("OVIK_STATION", str(DEFAULT_STATION))
    for name, path in (("agent", agent), ("station", station)):
        if not os.access(path, os.X_OK):
            say(f"line.py: the {name} program {path} is not built: run "
                "cmake --preset release && cmake --build --preset release")
            return 2
    reason = netns.missing_facilities() or line.missing(description)
    if reason:
        say(f"line.py: this line cannot run here: {reason}")
        return 2

    def interrupted(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)
    describe(description)
    say("    The simulated devices have no hardware clock of their own (they would share this")
    say("    machine's): each answers the start about 4 s late and its burn time stays 0:00:00.")
    try:
        return run_line(description, agent, station, Path(args.out).resolve(), args.discover)
    except KeyboardInterrupt:
        say("\ninterrupted; the simulated network has been taken down")
        return 130


if __name__ == "__main__":
    sys.exit(main())
