"""ovikline: simulated production lines of devices running the real ovikburn agent.

    ovikline check LINE.toml                  checks a line description
    ovikline up LINE.toml                     cables the devices, starts their agents, stays up
    ovikline down LINE | --all                takes a line down, also one whose `up` was killed
    ovikline run LINE.toml [-- STATION ...]   up, `ovikstation run --discover`, compare, down
    ovikline vm prepare|status|run ...        the virtual test machine

Exit status: 0 done (run: the station reported exactly the injected faults); 1 run: it did not,
up: a device did not come up, down: no such line; 2 the line cannot run here (root,
namespaces, programs, drivers) or a usage error; 3 the description is refused.
"""

import argparse
import os
import signal
import sys
import tempfile
import time
from pathlib import Path

from . import burnin, emulate, line, netns, plant, state, vm
from .network import PACKAGE_PARENT, Network, built_program, eth0_address

EXIT_MISMATCH = 1
EXIT_CANNOT_RUN = 2
EXIT_REFUSED = 3
# (variable, path in a build tree, option): how each program a line runs is found
AGENT = ("OVIK_AGENT", "src/main/ovikburn", "--agent")
STATION = ("OVIK_STATION", "src/station/ovikstation", "--station")
DIO_STANDIN = ("OVIK_DIO_STANDIN", "ovikline/dio-standin", None)
DOWN_TIMEOUT = 30.0        # for a holder to take its line down after SIGTERM
UP_IN_VM_TIMEOUT = 86400   # a line up in the virtual test machine stays at most a day


class CannotRun(Exception):
    """The line cannot run here; the text says why and what to do."""


def say(text=""):
    print(text, flush=True)


def complain(text):
    print(f"ovikline: {text}", file=sys.stderr, flush=True)


def show(label, text):
    for row in text.rstrip("\n").splitlines():
        say(f"    {label} | {row}")


def in_vm():
    return os.environ.get("OVIK_VM") == "1"


def program(given, kind):
    """The agent, station or stand-in program: given, else $VARIABLE, else built, else
    installed; CannotRun when there is none."""
    variable, relative, option = kind
    path = given or built_program(variable, relative)
    if not path or not os.access(path, os.X_OK):
        raise CannotRun(f"no {Path(relative).name} program ({path or 'none found'}): build it "
                        "(cmake --preset release && cmake --build --preset release), install "
                        "its package, or name it with "
                        + (f"{option} or {variable}" if option else variable))
    return os.path.abspath(path)


def checked_name(text):
    if not line.NAME.fullmatch(text):
        raise CannotRun(f"a line's name is 1 to 32 letters, digits, '.', '_' or '-', not {text!r}")
    return text


def needs_vm(description):
    """Why the line needs the virtual test machine, or None when it runs here."""
    return None if in_vm() else line.missing(description)


def emulated(args, description):
    """The description with --emulate's number of emulated devices, when given."""
    if getattr(args, "emulate", None) is None:
        return description
    return description.with_emulated(args.emulate, description.emulated_entries)


def describe(description):
    emulated_count = (f" and {len(description.emulated)} emulated"
                      if description.emulated else "")
    say(f"==> Line {description.name}: {len(description.devices)}{emulated_count} devices, testing "
        f"{', '.join(description.tests) or 'nothing but the host link'} for "
        f"{description.duration} s" + (f", then installing {description.firmware}"
                                         if description.firmware else ""))


def device_table(description, built=None):
    """One row per device: serial, eth0, namespace (once built), what it is cabled to, faults."""
    rows = [("SERIAL", "ETH0 (HOST LINK :1033)", *(["NAMESPACE"] if built else []), "FAULTS")]
    if not description.devices:
        rows = []
    for device in description.devices:
        serial = str(device.serial)
        if device.serialnumber != f"TB{device.serial:04d}":
            serial += f" ({device.serialnumber})"
        rows.append((serial, device.address,
                     *([built.duts[device.serial].netns] if built else []),
                     "; ".join(device.fault_texts()) or "-"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)] if rows else []
    for row in rows:
        say("    " + "".join(cell.ljust(w + 2) for cell, w in zip(row, widths)) + row[-1])
    say("    every device: "
        + (", ".join(line.CABLING[t] for t in description.tests) or "eth0 only"))
    if description.emulated:
        serials = list(description.emulated)
        say(f"    {len(serials)} emulated devices, serials {serials[0]} to {serials[-1]} "
            f"(eth0 {eth0_address(serials[0])} ...), in one namespace"
            + (f" ({built.emulation.netns})" if built and built.emulation else "")
            + "; faulty ones:")
        faulty = [(serial, faults) for serial, faults in description.emulated.items() if faults]
        for serial, faults in faulty:
            say(f"    {serial:<6} {eth0_address(serial):<16} "
                + "; ".join(emulate.fault_text(*fault) for fault in faults))
        if not faulty:
            say("    none")
    for name, value in description.plant.items():
        say(f"    the line: {plant.fault_text(name, value)}"
            + ("" if built is None or built.plant_active else " (`ovikline run` only)"))


# --- check ---------------------------------------------------------------------------------------


def cmd_check(args):
    description = emulated(args, line.load(args.description))
    describe(description)
    device_table(description)
    reason = needs_vm(description)
    if reason:
        say(f"    it needs the virtual test machine: {reason}")
    return 0


# --- up --------------------------------------------------------------------------------------------


def hold_until_stopped():
    """Waits for SIGINT, SIGTERM or SIGHUP (each raises KeyboardInterrupt, see main)."""
    while True:
        signal.pause()


def cmd_up(args):
    description = emulated(args, line.load(args.description))
    name = checked_name(args.name or description.name)
    reason = needs_vm(description)
    if reason:
        return up_in_vm(args, description, name, reason)
    agent, station, _ = prepare(args, description)
    holder_state = state.LineState(name)
    holder_state.claim()
    try:
        with Network(agent=agent, station=station, state=holder_state) as net:
            describe(description)
            built = line.Line(net, description)
            try:
                if not announced(built):
                    return EXIT_MISMATCH
                device_table(description, built)
                say(f"==> Line {name} is up; state in {holder_state.dir}")
                say(f"    the test PC's namespace {net.pc_netns} has 192.180.0.1/16 on its "
                    "bridge; drive the line from there, e.g.")
                say(f"    ip netns exec {net.pc_netns} {Path(station).name} run --discover 8 "
                    f"--duration {description.duration}"
                    + (f" --firmware {description.firmware}" if description.firmware else ""))
                say(f"    Ctrl-C, or `ovikline down {name}`, takes it down")
                hold_until_stopped()
            finally:
                built.stop()
    except KeyboardInterrupt:
        say(f"==> Line {name} is down")
        return 0
    finally:
        holder_state.clean()


def announced(built):
    silent = built.wait_announced(10.0 * burnin.SLOW)
    for dut in silent:
        say(f"    {dut.name} ({dut.address}) did not come up:")
        show(dut.name, dut.console() + dut.stderr())
    if silent:
        say(f"    {len(silent)} device(s) did not come up")
    return not silent


def prepare(args, description):
    """(agent, station, dio-standin or None) for a line about to run here."""
    reason = netns.missing_facilities()
    if reason:
        raise CannotRun(f"lines run in network namespaces here, and {reason}")
    # A line of emulated devices only runs no agent.
    agent = program(args.agent, AGENT) if description.devices else None
    station = program(args.station, STATION)
    dio_standin = program(None, DIO_STANDIN) if "dio" in description.tests else None
    reason = line.missing(description)
    if reason:
        raise CannotRun(reason)
    return agent, station, dio_standin


def vm_missing():
    return vm.missing_for_run(vm.Cache())


def guest_command(args, description, name, command, extra=()):
    """The guest's `ovikline COMMAND` for this line, with absolute paths only."""
    argv = [sys.executable, "-B", "-m", "ovikline", command, os.path.abspath(args.description),
            "--name", name, "--agent", program(args.agent, AGENT),
            "--station", program(args.station, STATION), *extra]
    env = [f"PYTHONPATH={PACKAGE_PARENT}"]
    if "dio" in description.tests:
        env.append(f"OVIK_DIO_STANDIN={program(None, DIO_STANDIN)}")
    return argv, [option for value in env for option in ("--env", value)]


def run_in_vm(name, vm_options, argv):
    """Runs argv in the virtual test machine while this process holds the line's name here, so
    that `ovikline down` on this machine stops the machine."""
    holder_state = state.LineState(name)
    holder_state.claim()
    try:
        return vm.main(["run", *vm_options, "--", *argv], prog="ovikline vm",
                       started_qemu=holder_state.record_process)
    finally:
        holder_state.clean()


def explain_vm(description, reason):
    missing = vm_missing()
    if missing:
        raise CannotRun(f"{reason}; the virtual test machine cannot start either: {missing} "
                        "(ovikline vm prepare, as root, with qemu-system-x86 installed)")
    tests = " and ".join(t for t in description.tests if t in line.VM_TESTS)
    say(f"==> This kernel lacks the drivers for the line's {tests} tests: the line runs in "
        "the virtual test machine, and its namespaces exist only there")


def up_in_vm(args, description, name, reason):
    explain_vm(description, reason)
    argv, env = guest_command(args, description, name, "up")
    with tempfile.TemporaryDirectory(prefix="ovikline-vm-") as share:
        status = run_in_vm(name, ["--timeout", str(UP_IN_VM_TIMEOUT), "--share", share, *env],
                           argv)
    # Ctrl-C or `ovikline down` stops the machine, and the line with it.
    if status in (128 + signal.SIGINT, 128 + signal.SIGTERM, 128 + signal.SIGHUP):
        say(f"==> Line {name} is down")
        return 0
    return status


# --- down ------------------------------------------------------------------------------------------


def line_name(text):
    """A line's name, or the name of the description at path text."""
    if text.endswith(".toml") and os.path.isfile(text):
        return line.load(text).name
    return checked_name(text)


def cmd_down(args):
    if args.all == bool(args.line):
        raise CannotRun("name one line (ovikline down LINE) or give --all")
    names = state.names() if args.all else [line_name(args.line)]
    if not args.all and not state.LineState(names[0]).exists():
        complain(f"no line {names[0]} is up here (lines up: "
                 f"{', '.join(state.names()) or 'none'})")
        return EXIT_MISMATCH
    for name in names:
        holder_state = state.LineState(name)
        stopped = holder_state.stop_holder(DOWN_TIMEOUT)
        holder_state.clean()
        say(f"line {name}: {'taken down' if stopped else 'what it left is removed'}")
    return 0


# --- run ---------------------------------------------------------------------------------------------


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


def run_line(net, description, out, discover, station_options=()):
    """Builds the line on net, runs the station against it with station_options added, and
    compares its findings with the injected faults: 0 when they are exactly those. The reports
    (line.json, line.csv, line.xml) and the run records (station.db) go to out."""
    out.mkdir(parents=True, exist_ok=True)
    reports = {"json": out / "line.json", "csv": out / "line.csv", "junit": out / "line.xml",
               "db": out / "station.db"}
    for kind in ("json", "csv", "junit"):
        reports[kind].unlink(missing_ok=True)
    records_after = line.last_station_run(reports["db"])
    say(f"==> Cabling the devices and starting their agents (files: {net.dir})")
    built = line.Line(net, description)
    faults = None
    try:
        if not announced(built):
            return EXIT_MISMATCH
        built.plant_active = True
        device_table(description, built)
        args = built.station_args(discover, reports) + list(station_options)
        say(f"==> ovikstation {' '.join(a.replace(str(out) + '/', '') for a in args)}")
        timeout = built.station_timeout(discover)
        # The user's own station options name files from where ovikline was started.
        run = net.start_station(*args, timeout=timeout, cwd=os.getcwd())
        if description.plant:
            faults = plant.PlantFaults(
                net, description.plant, run.process.started + discover, description.duration,
                description.addresses(), records=plant.RecordsStall.sqlite(reports["db"]),
                station=(args, os.getcwd()))
        status = follow(run, timeout)
        say(f"    station exit status {status}")
    finally:
        if faults is not None:
            faults.stop()
        built.stop()
    if faults is not None:
        say("==> The line's faults")
        for text in faults.summary():
            say(f"    {text}")
    if not reports["json"].exists():
        say("    the station wrote no report")
        return EXIT_MISMATCH
    say(f"==> The CSV report for the factory's systems ({reports['csv']})")
    show("csv", reports["csv"].read_text())
    say(f"    also: {reports['json']} (JSON), {reports['junit']} (JUnit XML), run records in "
        f"{reports['db']} (ovikstation history SERIAL --db {reports['db']})")
    want, got, differences = line.compare(description, reports, records_after)
    differences += faults.problems if faults is not None else []
    say("==> The station's findings against the injected faults")
    for serial, outcome in sorted(want.items()):
        mark = "ok" if line.matches(outcome, got.get(serial)) else "MISMATCH"
        say(f"    serial {serial:<5} {mark:<8} verdict {outcome['verdict']}, items "
            f"{','.join(outcome['items']) or '-'}, ports "
            f"{','.join(map(str, outcome['ports'])) or '-'}, download {outcome['download']}")
    for text in differences:
        say(f"    {text}")
    if differences:
        devices = out / "devices.txt"
        devices.write_text(net.dump() + (built.emulation.dump() if built.emulation else ""))
        say(f"    the devices' consoles, error logs and command logs: {devices}")
        return EXIT_MISMATCH
    say("    every verdict, failed item and failed port is exactly what the line injected; "
        "one record per device; the reports whole")
    return 0


def cmd_run(args):
    description = emulated(args, line.load(args.description))
    name = checked_name(args.name or description.name)
    out = Path(args.out).resolve()
    reason = needs_vm(description)
    if reason:
        explain_vm(description, reason)
        out.mkdir(parents=True, exist_ok=True)
        argv, env = guest_command(args, description, name, "run",
                                  ["--out", str(out), "--discover", str(args.discover),
                                   "--", *args.station_options])
        timeout = max(1200, 10 * (args.discover + description.duration) + 600)
        return run_in_vm(name, ["--timeout", str(timeout), "--share", str(out), *env], argv)
    agent, station, _ = prepare(args, description)
    describe(description)
    holder_state = state.LineState(name)
    holder_state.claim()
    try:
        with Network(agent=agent, station=station, state=holder_state) as net:
            return run_line(net, description, out, args.discover, args.station_options)
    except KeyboardInterrupt:
        say("\ninterrupted; the simulated line has been taken down")
        return 128 + signal.SIGINT
    finally:
        holder_state.clean()


# --- the command line ----------------------------------------------------------------------------


def parser():
    top = argparse.ArgumentParser(
        prog="ovikline", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Simulated production lines: devices running the real ovikburn agent in "
                    "network and mount namespaces of their own, cabled to stand-in "
                    "peripherals, with faults injected per device.",
        epilog=__doc__.split("\n\n", 2)[2])
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def description_argument(p):
        p.add_argument("description", metavar="LINE.toml", help="the line description")

    def running_options(p):
        description_argument(p)
        p.add_argument("--name", help="the line's name here (default: the description's)")
        p.add_argument("--agent", metavar="PATH",
                       help="the agent program (default: $OVIK_AGENT, a build of this source "
                            "tree, /usr/sbin/ovikburn)")
        p.add_argument("--station", metavar="PATH",
                       help="the station program (default: $OVIK_STATION, a build of this "
                            "source tree, /usr/bin/ovikstation)")
        emulate_option(p)

    def emulate_option(p):
        p.add_argument("--emulate", type=int, metavar="N",
                       help="N emulated devices besides the description's own (default: its "
                            "[line] emulate); one process serves their host links")

    p = sub.add_parser("check", help="check a line description",
                       description="Checks a line description and shows its devices with "
                                   "their addresses; a refusal names the device and what to "
                                   "change (exit status 3).")
    description_argument(p)
    emulate_option(p)
    p.set_defaults(action=cmd_check)

    p = sub.add_parser("up", help="bring a line up and keep it up",
                       description="Cables the line's devices, starts their agents, shows "
                                   "where each device is, and stays up until Ctrl-C, SIGTERM "
                                   "or `ovikline down LINE`; then removes every namespace, "
                                   "mount and process it made. State: /run/ovikline/LINE.")
    running_options(p)
    p.set_defaults(action=cmd_up)

    p = sub.add_parser("down", help="take a line down",
                       description="Takes a line that is up down, or removes what a killed "
                                   "`ovikline up` or `ovikline run` left (namespaces, mounts, "
                                   "processes, /run/ovikline/LINE).")
    p.add_argument("line", nargs="?", metavar="LINE",
                   help="the line's name (or its description)")
    p.add_argument("--all", action="store_true", help="every line that has state here")
    p.set_defaults(action=cmd_down)

    p = sub.add_parser("run", help="run the station against a line and check its findings",
                       usage="ovikline run [options] LINE.toml [-- STATION_OPTION ...]",
                       description="Brings the line up, runs `ovikstation run --discover` "
                                   "against it (STATION options after -- are added), compares "
                                   "the station's verdicts, failed items, failed ports and "
                                   "downloads with the injected faults (exit status 0 when "
                                   "they match, 1 when not), and takes the line down.")
    running_options(p)
    p.add_argument("--out", default="line-results", metavar="DIR",
                   help="where the reports and run records go (default ./line-results)")
    p.add_argument("--discover", type=int, default=8, metavar="S",
                   help="the station's discovery seconds (default 8)")
    p.set_defaults(action=cmd_run, station_options=[])

    p = sub.add_parser("vm", help="the virtual test machine (prepare, status, run)",
                       add_help=False,
                       description="Lines that need drivers this kernel lacks (CAN, digital "
                                   "I/O) run in it: `ovikline vm prepare` once, as root.")
    p.add_argument("vm_args", nargs=argparse.REMAINDER)  # handed to vm.main as they are
    return top


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["vm"]:
        return vm.main(argv[1:], prog="ovikline vm")
    station_options = []
    if argv[:1] == ["run"] and "--" in argv:
        cut = argv.index("--")
        argv, station_options = argv[:cut], argv[cut + 1:]
    args = parser().parse_args(argv)
    if args.command == "run":
        args.station_options = station_options

    def interrupted(signum, frame):
        raise KeyboardInterrupt
    if args.command in ("up", "run"):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, interrupted)
    try:
        return args.action(args)
    except line.LineError as exc:
        complain(str(exc))
        return EXIT_REFUSED
    except (CannotRun, RuntimeError) as exc:
        # RuntimeError: what sets a line up says what it could not do (a namespace, a plug,
        # a stand-in), and LineBusy which process holds the name.
        complain(str(exc))
        return EXIT_CANNOT_RUN
