"""The TPM2 test of a device burning in. The agent's own child process runs the self test
(`eltt2 -t`, a stand-in here whose output each device scripts) through the device's real grep
into /dev/shm/tpm_ver (empty from an image without grep); the test thread reads and removes
that file once per cycle. The TPM 1.2 test reads the same file, which only the device's image
writes: here once, before the run, on a device that also runs the memory test."""

import os
import shutil
import subprocess
from pathlib import Path

import runs
from ovikline import burnin

BAR = "=======================\n"
PASSING = "TPM2 full self test\nSelf test: Successfully completed.\nTest result: 0x00000000\n"
# The real grep leaves nothing of this output: the test reads an empty file, three times.
FAILING = "TPM2 full self test\nSelf test failed.\nTest result: 0x00000101\n"
WRONG = "[testTPM2][1316] : tpm_ver wrong: .\n"
# A failing call's other possible end: the file it removed is still missing at two looks 200 ms
# apart, because the self test running at the removal has not ended yet; the next one is only
# started after that.
STILL_RUNNING = "[testTPM2][1287] : Unable to open fd: /dev/shm/tpm_ver[errno: 2] \n"
TPM1_GONE = STILL_RUNNING.replace("testTPM2][1287", "testTPM][1222")
# (self-test output, tools the image lacks, passes)
TPM2 = [(PASSING, (), True), (FAILING, (), False), (PASSING, ("grep",), False)]


def prober_of(agent):
    """The agent's forked child, which runs the self tests: its pid and its share of a core."""
    name = Path(f"/proc/{agent}/comm").read_text().strip()
    pid = int(subprocess.check_output(["pgrep", "-xP", str(agent), name], text=True))
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(") ", 1)[1].split()
    tick, uptime = os.sysconf("SC_CLK_TCK"), float(Path("/proc/uptime").read_text().split()[0])
    return pid, (int(fields[11]) + int(fields[12])) / (uptime * tick - int(fields[19]))


def test_tpm2_self_test_verdicts(station_net):
    duts = [runs.device(station_net, 4001 + i, "[tpm]\nTestTPM2 = y\n") for i in range(3)]
    for dut, (output, removed, _) in zip(duts, TPM2):
        dut.script_output("eltt2", output)
        dut.remove_tools(*removed)
        dut.start("-e")
    tpm1 = runs.device(station_net, 4004, "[tpm]\nTestTPM = y\n[memory]\nTestMEM = y\n")
    (tpm1.shm / "tpm_ver").write_text("TPM Version: 01010000\n")
    tpm1.start("-e")
    burns = runs.burn_all(station_net, duts + [tpm1], 4 + burnin.SLOW)

    # The TPM 1.2 test passes on the file and removes it, then fails on its absence in every
    # later cycle; the memory test passes silently.
    cycles, fails, console = burns[3].record["cycles"], burns[3].items(), tpm1.console()
    assert burns[3].run.returncode == 1 and list(fails) == ["MEM", "TPM"], burns[3].record
    assert fails["MEM"] == 0 and cycles - 1 <= fails["TPM"] <= cycles and cycles >= 2
    assert console.count(f"{BAR}PASS : testTPM\n{BAR}") == 1 and "Err: memory" not in console
    assert fails["TPM"] <= console.count(TPM1_GONE) <= fails["TPM"] + 1
    assert not (tpm1.shm / "tpm_ver").exists() and tpm1.error_log() == ""
    for dut, burn, (_, removed, passed) in zip(duts, burns, TPM2):
        cycles, fails = burn.record["cycles"], burn.items()["TPM2"]
        assert burn.run.returncode == (0 if passed else 1) and cycles >= 1, burn.record
        assert list(burn.items()) == ["TPM2"]
        assert fails == 0 if passed else cycles <= fails <= cycles + 1, burn.record
        assert passed or burn.verdict_row()[3] == f"TPM2:{fails}", burn.run.stdout

        # One child of the agent runs every self test, without a shell between them, and
        # mostly sleeps; the other end of the pipe is the machine's own grep, not a stand-in.
        prober, share = prober_of(dut.pid)
        assert share < 0.05, f"the prober used {share:.0%} of a core"
        calls = [c for c in dut.command_records() if c["argv"][0].endswith("/eltt2")]
        assert removed or len(calls) >= cycles
        assert {(tuple(c["argv"][1:]), c["ppid"], c["parent"]) for c in calls} <= \
            {(("-t",), prober, os.path.basename(dut.agent_argv[0])[:15])}
        grep = Path(shutil.which("grep"))
        assert removed or Path(f"/proc/{dut.pid}/root{grep}").read_bytes() == grep.read_bytes()

        console = dut.console()
        passes = console.count(f"{BAR}PASS : testTPM2\n{BAR}")
        wrong, still_running = console.count(WRONG), console.count(STILL_RUNNING)
        if passed:
            assert passes >= cycles and wrong == still_running == 0
        else:
            assert passes == 0 and wrong >= 1 and fails <= wrong + still_running <= fails + 1
            assert "[testTPM2][" not in console.replace(WRONG, "").replace(STILL_RUNNING, "")
        # The TPM tests report on the console only.
        assert dut.error_log() == ""
