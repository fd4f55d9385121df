"""Whole burn-in runs driven by the station program, checked from both ends: the station's
exit status, verdict table and JSON record, and on each device the console verdict, the LED
script, the boot-loader flags and the upgrade script that ran. Passing runs with and without a
download are on the line of test_line.py."""

import json
import re

import runs
from ovikline import burnin, netns

STATION_TIMEOUT = 90
UPGRADE = "/usr/sbin/mp_upgrade.sh"
UNWRITABLE = 1004  # its boot-loader flags cannot be written
PORT_TAKEN = ("ovikstation: port 1032 is in use by another program (another ovikstation?): "
              "find it with `ss -ulpn 'sport = :1032'`")
DARK_RUN = 25  # s; the line of rack br0 goes dark in it for 10 s and more
# (serial, mm_flags before, station options, exit status, verdict, download, final status,
#  console, commands in this order (others may come between), mm_flags after, no such command)
CASES = [
    (1002, "0", ["--fail"], 1, "failed", "not requested", 2, "Burning fail !",
     ["/bin/FailLED.sh"], "0", ["/bin/PassLED.sh", "fw_setenv"]),
    # A device that passed a burn-in before: the flag is written again, then T1_1 cleared.
    (1003, "72", [], 0, "passed", "not requested", 16, "Burning OK.",
     ["fw_setenv mm_flags 72", "fw_setenv mm_flags 64", "/bin/PassLED.sh"], "64",
     ["/bin/FailLED.sh"]),
    # fw_setenv cannot be started: the pass already printed turns into the fail LED.
    (1004, "0", [], 0, "passed", "not requested", 16,
     re.compile(r"^Burning OK\.$[\s\S]*^Write Burnning flag fail !$", re.M),
     ["fw_printenv", "/bin/FailLED.sh"], "0", ["/bin/PassLED.sh", "fw_setenv"]),
    # The verdict on the device is the burn-in's: a failed download does not change it.
    (1005, "0", ["--firmware", "fw-1.2.bin"], 1, "passed", "failed", 48, "Burning OK.",
     [f"{UPGRADE} firmware fw-1.2.bin tftp", "fw_setenv mm_flags 64", "/bin/PassLED.sh"], "64",
     ["/bin/FailLED.sh"]),
]


def in_order(lines, expected):
    """Whether expected appear in lines in this order (other lines may come between)."""
    rest = iter(lines)
    return all(any(line == want for line in rest) for want in expected)


def test_run_verdicts(station_net):
    net = station_net
    started = []
    for i, (serial, flags, options, *_) in enumerate(CASES):
        dut = runs.device(net, serial, download=bool(options) and options[0] == "--firmware")
        dut.set_bootenv(mm_flags=flags)
        if serial == UNWRITABLE:
            for place in ("bin", "sbin"):
                (dut.stubs / place / "fw_setenv").chmod(0o644)
        dut.script_upgrade([f"tftp: block {n}" for n in range(1, 99)], status=1)
        dut.start("-e")
        # The station's own retries are bounded: give it an agent that is up.
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), serial
        # One station per device, each on a port of its own, so the runs go in parallel.
        run = net.start_station("run", "--agent", dut.address, "--duration", "3",
                                "--db", net.dir / "station.db", "--json", net.dir / f"{i}.json",
                                "--port", burnin.FIRST_STATION_PORT + i, *options,
                                timeout=STATION_TIMEOUT)
        started.append((dut, run, net.dir / f"{i}.json"))

    for (serial, _, _, status, verdict, download, final, console, commands, flags, absent), \
            (dut, run, report) in zip(CASES, started):
        run.wait()
        assert not run.timed_out and run.returncode == status, serial
        assert re.search(r"^SERIAL\s+ADDRESS\s+VERDICT\b", run.stdout, re.M), serial
        row = re.search(rf"^{serial}\s+{re.escape(dut.address)}(:\d+)?\s+(\w+)", run.stdout, re.M)
        assert row and row.group(2) == verdict, (serial, run.stdout)
        assert f"{1 - status} of 1 agent passed" in run.stdout, serial
        [entry] = json.loads(report.read_text())
        assert (entry["serial"], entry["verdict"], entry["download"]) == \
            (serial, verdict, download)
        assert entry["record"]["status"] == final, serial
        assert verdict == "passed" or entry["record"]["error"] == 6, serial

        assert dut.wait_console(console, 5.0 * burnin.SLOW), serial
        assert dut.wait_command(commands[-1], 5.0 * burnin.SLOW), serial
        lines = dut.command_lines()
        assert in_order(lines, commands), (serial, lines)
        assert not any(line.startswith(tuple(absent)) for line in lines), (serial, lines)
        assert dut.bootenv().get("mm_flags") == flags, serial


def test_run_without_agent(station_net):
    run = station_net.station("run", "--discover", "2", "--duration", "1",
                              "--db", station_net.dir / "station.db", timeout=30)
    assert run.returncode == 2


def test_run_one_station_per_interface_through_a_dark_line(station_net):
    """A station per bridge (--interface) of one PC, a third on the taken port refused; br0's
    line goes dark mid-run until its station heard nothing for 10 s: both runs pass."""
    net = station_net
    duts = [runs.device(net, serial) for serial in (1101, 1102)]
    # Rack br1 has the same address plan; the station tied to it routes through it alone.
    netns.run_batch(net.pc_netns, "link add br1 type bridge\nlink set br1 up\n"
                    "addr add 192.180.0.2/16 dev br1 noprefixroute\n"
                    "route add 192.180.0.0/16 dev br1 metric 100\nlink set d2 master br1\n")
    for dut in duts:
        dut.start("-e")
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), dut.name
    stations = [net.start_station("run", "--discover", 8, "--expect", 1, "--duration", DARK_RUN,
                                  "--interface", bridge, "--db", net.dir / f"{bridge}.db",
                                  timeout=STATION_TIMEOUT) for bridge in ("br0", "br1")]
    assert netns.wait_for(lambda: all("listening on" in r.stdout for r in stations), 10)
    taken = net.station("listen", "--seconds", 1, timeout=10)
    assert (taken.returncode, taken.stderr.startswith(PORT_TAKEN)) == (4, True), taken.dump()
    dark = stations[0]
    assert netns.wait_for(lambda: "run started" in dark.stdout, 15), dark.dump()
    netns.run(["ip", "-n", net.pc_netns, "link", "set", "br0", "down"])
    try:
        assert netns.wait_for(lambda: "nothing heard for 10 s" in dark.stdout, 20), dark.dump()
    finally:
        netns.run(["ip", "-n", net.pc_netns, "link", "set", "br0", "up"])
    for run, serial in zip(stations, (1101, 1102)):
        run.wait()
        assert (run.timed_out, run.returncode, "ignored" in run.stderr) == (False, 0, False), \
            run.dump()
        assert f"found agent serial {serial} at" in run.stdout and "1 of 1 agent passed" in \
            run.stdout, run.dump()
    assert "heard again after" in dark.stdout, dark.dump()
    assert dark.stderr.count("Network is unreachable") == 1, dark.dump()
