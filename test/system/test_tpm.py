"""The TPM2 test of a device burning in. The agent's own child process runs the self test
(`eltt2 -t`, a stand-in here whose output each device scripts) through the device's real grep
into /dev/shm/tpm_ver; the test thread reads and removes that file once per cycle."""

import os
import shutil
from dataclasses import dataclass
from pathlib import Path

from ovikline import burnin

DURATION = 4 + burnin.SLOW
CONFIG = burnin.config(extra="[tpm]\nTestTPM2 = y\n")
DEVICE_PATH = ("/usr/sbin", "/usr/bin", "/sbin", "/bin")  # the agent's PATH


@dataclass
class Case:
    name: str
    serial: int
    self_test: str         # what eltt2 -t prints
    passed: bool
    console: str = ""      # per failing cycle


CASES = [
    Case("self test passes", 4001,
         "TPM2 full self test\nSelf test: Successfully completed.\nTest result: 0x00000000\n",
         passed=True),
    # The real grep leaves nothing of this output: the test reads an empty file, three times.
    Case("self test fails", 4002,
         "TPM2 full self test\nSelf test failed.\nTest result: 0x00000101\n",
         passed=False, console="[testTPM2][1316] : tpm_ver wrong: .\n"),
]
# A failing call's other possible end: the file it removed is still missing at two looks 200 ms
# apart, because the self test running at the removal has not ended yet (the stand-in starts
# slowly under emulation); the next one is only started after that.
STILL_RUNNING = "[testTPM2][1287] : Unable to open fd: /dev/shm/tpm_ver[errno: 2] \n"


def agent_name(dut):
    """The agent's process name, as the kernel keeps it."""
    return os.path.basename(dut.agent_argv[0])[:15]


def found_in_device(dut, program):
    """The file that PATH lookup finds for program inside the device, seen from here."""
    for directory in DEVICE_PATH:
        path = Path(f"/proc/{dut.pid}/root{directory}/{program}")
        if path.exists():
            return path
    return None


def parent_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


def test_tpm2_self_test_verdicts(station_net):
    net = station_net
    # One device after the other: the failing one runs self tests back to back, which would
    # slow the other's under emulation.
    for case in CASES:
        dut = net.add_dut(bootenv={"serialnumber": f"TB{case.serial}", "mm_flags": "0"},
                          config=CONFIG)
        dut.script_output("eltt2", case.self_test)
        dut.start("-e")
        burn = burnin.station_burn(net, dut, DURATION).wait()
        assert burn.run.returncode == (0 if case.passed else 1), case.name
        assert burn.entry["verdict"] == ("passed" if case.passed else "failed"), case.name
        cycles = burn.record["cycles"]
        assert cycles >= 1, (case.name, burn.record)
        fails = burn.items()["TPM2"]
        assert list(burn.items()) == ["TPM2"], case.name
        if case.passed:
            assert fails == 0, case.name
        else:
            assert cycles <= fails <= cycles + 1, (case.name, burn.record)
            assert burn.verdict_row()[3] == f"TPM2:{fails}", burn.run.stdout

        # One child of the agent runs every self test, without a shell between them.
        calls = [c for c in dut.command_records() if c["argv"][0].endswith("/eltt2")]
        assert len(calls) >= cycles, case.name
        assert {tuple(c["argv"][1:]) for c in calls} == {("-t",)}, case.name
        prober = {c["ppid"] for c in calls}
        assert len(prober) == 1 and prober != {dut.pid}, case.name
        assert parent_of(prober.pop()) == dut.pid, case.name
        assert {c["parent"] for c in calls} == {agent_name(dut)}, case.name
        # The other end of the pipe is the machine's own grep, not a stand-in.
        grep = found_in_device(dut, "grep")
        assert grep is not None and grep.read_bytes() == Path(shutil.which("grep")).read_bytes()

        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT), case.name
        console = dut.console()
        passes = console.count("=======================\nPASS : testTPM2\n"
                               "=======================\n")
        if case.passed:
            assert passes >= cycles, case.name
            assert "tpm_ver wrong" not in console and "Unable to open" not in console, case.name
        else:
            assert passes == 0, case.name
            wrong, still_running = console.count(case.console), console.count(STILL_RUNNING)
            assert wrong >= 1, case.name
            assert fails <= wrong + still_running <= fails + 1, case.name
            shown = console.replace(case.console, "").replace(STILL_RUNNING, "")
            assert "[testTPM2][" not in shown, case.name
        # The TPM tests report on the console only.
        assert dut.error_log() == "", case.name
        dut.stop()
