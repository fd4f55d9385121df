"""Whole burn-in runs driven by the station program, checked from both ends: the station's
exit status, verdict table and JSON record, and on each device the console verdict, the LED
script, the boot-loader flags and the upgrade script that ran."""

import json
import re
from dataclasses import dataclass, field

from ovikline import burnin

STATION_TIMEOUT = 90
UPGRADE = "/usr/sbin/mp_upgrade.sh"
FIRST_STATION_PORT = 21032
QUICK_UPGRADE = [f"tftp: block {n}" for n in range(1, 99)]


@dataclass
class Case:
    name: str
    serial: int
    mm_flags: str = "0"
    download: bool = False
    upgrade_status: int = 0
    station_args: list = field(default_factory=list)
    exit_status: int = 0
    verdict: str = "passed"
    download_result: str = "not requested"
    final_status: int = 16
    console: str = "Burning OK."
    commands: list = field(default_factory=list)   # in this order, others may come between
    mm_flags_after: str = "64"
    absent: list = field(default_factory=list)     # no command line starts with these


CASES = [
    Case("pass", 1001, commands=["fw_setenv mm_flags 64", "/bin/PassLED.sh"],
         absent=["/bin/FailLED.sh"]),
    Case("declared failed", 1002, station_args=["--fail"], exit_status=1, verdict="failed",
         final_status=2, console="Burning fail !", commands=["/bin/FailLED.sh"],
         mm_flags_after="0", absent=["/bin/PassLED.sh", "fw_setenv"]),
    # A device that passed a burn-in before: the flag is written again, then T1_1 cleared.
    Case("repeated pass", 1003, mm_flags="72",
         commands=["fw_setenv mm_flags 72", "fw_setenv mm_flags 64", "/bin/PassLED.sh"],
         absent=["/bin/FailLED.sh"]),
    Case("pass with download", 1004, download=True,
         station_args=["--firmware", "fw-1.2.bin"], download_result="done", final_status=256,
         commands=[f"{UPGRADE} firmware fw-1.2.bin tftp", "fw_setenv mm_flags 64",
                   "/bin/PassLED.sh"]),
    # The verdict on the device is the burn-in's: a failed download does not change it.
    Case("failed download", 1005, download=True, upgrade_status=1,
         station_args=["--firmware", "fw-1.2.bin"], exit_status=1, download_result="failed",
         final_status=48, commands=[f"{UPGRADE} firmware fw-1.2.bin tftp",
                                    "fw_setenv mm_flags 64", "/bin/PassLED.sh"]),
]


def in_order(lines, expected):
    """Whether expected appear in lines in this order (other lines may come between)."""
    rest = iter(lines)
    return all(any(line == want for line in rest) for want in expected)


def test_run_verdicts(station_net):
    net = station_net
    started = []
    for i, case in enumerate(CASES):
        dut = net.add_dut(bootenv={"serialnumber": f"TB{case.serial}", "mm_flags": case.mm_flags},
                          config=burnin.config(download=case.download))
        dut.script_upgrade(QUICK_UPGRADE, status=case.upgrade_status)
        dut.start("-e")
        # The station's own retries are bounded: give it an agent that is up.
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), case.name
        report = net.dir / f"run{i}.json"
        # One station per device, each on a port of its own, so the runs go in parallel.
        run = net.start_station("run", "--agent", dut.address, "--duration", "3",
                                "--db", net.dir / "station.db",
                                "--json", report, "--port", FIRST_STATION_PORT + i,
                                *case.station_args, timeout=STATION_TIMEOUT)
        started.append((case, dut, run, report))

    for case, dut, run, report in started:
        run.wait()
        assert not run.timed_out, case.name
        assert run.returncode == case.exit_status, case.name
        out = run.stdout
        assert re.search(r"^SERIAL\s+ADDRESS\s+VERDICT\b", out, re.M), case.name
        row = re.search(rf"^{case.serial}\s+{re.escape(dut.address)}(:\d+)?\s+(\w+)", out, re.M)
        assert row and row.group(2) == case.verdict, (case.name, out)
        passed = 1 if case.exit_status == 0 else 0
        assert f"{passed} of 1 agent passed" in out, case.name

        record = json.loads(report.read_text())
        assert len(record) == 1, case.name
        entry = record[0]
        assert (entry["serial"], entry["verdict"]) == (case.serial, case.verdict), case.name
        assert entry["download"] == case.download_result, case.name
        assert entry["record"]["status"] == case.final_status, case.name
        if case.verdict == "failed":
            assert entry["record"]["error"] == 6, case.name

        assert dut.wait_console(case.console, 5.0 * burnin.SLOW), case.name
        final_command = case.commands[-1]
        assert dut.wait_command(final_command, 5.0 * burnin.SLOW), case.name
        lines = dut.command_lines()
        assert in_order(lines, case.commands), (case.name, lines)
        for text in case.absent:
            assert not any(line.startswith(text) for line in lines), (case.name, text)
        assert dut.bootenv().get("mm_flags") == case.mm_flags_after, case.name


def test_run_discovered_agents(station_net):
    net = station_net
    duts = []
    for serial in (2001, 2002):
        dut = net.add_dut(bootenv={"serialnumber": f"TB{serial}", "mm_flags": "0"},
                          config=burnin.config())
        dut.start("-e")
        duts.append((serial, dut))
    for serial, dut in duts:
        assert dut.wait_console("<<Send ALIVE", burnin.READY_TIMEOUT), serial
    run = net.station("run", "--discover", "5", "--duration", "2", "--db", net.dir / "station.db",
                      timeout=STATION_TIMEOUT)
    assert not run.timed_out
    assert run.returncode == 0
    for serial, dut in duts:
        assert re.search(rf"^{serial}\s+{re.escape(dut.address)}(:\d+)?\s+passed\b",
                         run.stdout, re.M), serial
        assert dut.wait_command("/bin/PassLED.sh", 5.0 * burnin.SLOW)
    assert "2 of 2 agents passed" in run.stdout


def test_run_without_agent(station_net):
    run = station_net.station("run", "--discover", "2", "--duration", "1",
                              "--db", station_net.dir / "station.db", timeout=30)
    assert run.returncode == 2
