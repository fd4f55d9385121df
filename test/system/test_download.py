"""Firmware download after a passed run, driven byte by byte from the PC namespace, one device
and PC thread per case in parallel: the upgrade script's argument vector (whatever the name
holds), the progress reports, the final status from the script's lines and exit status, the
query the PC sends right after the final report, scripts without an interpreter line, and a
run whose firmware name "na" expects no download."""

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import runs
from ovikline import burnin, frames, netns, serialplug
from ovikline.client import RawClient

DOWNLOAD_TIMEOUT = 25.0
QUERY_TIMEOUT = 2.0  # answered at once, when it comes within the agent's 1 s wait
UPGRADE = "/usr/sbin/mp_upgrade.sh"
FAST_SCRIPT = [f"tftp: block {n}" for n in range(1, 101)]  # takes the progress to 95 at once
OK, FAIL = frames.STATUS_DOWNLOAD_OK, frames.STATUS_DOWNLOAD_FAIL


@dataclass
class Case:
    name: str                      # the firmware file name the PC sends
    lines: list = field(default_factory=lambda: FAST_SCRIPT)
    status: int = 0                # the script's exit status
    final: int = OK
    console: str = " - tftp: block 100\n"
    bare: bool = False             # LED and upgrade scripts without a "#!" line
    short: bool = False            # a serial plug that loses bytes, stopped in its first cycle
    delay: float = 0.0             # seconds between the script's lines


CASES = [Case("x;reboot"), Case("$(id)"), Case("a b&&id"), Case("`id`|tee f"),
         Case("fw 1.2;id", bare=True),
         Case("fw.bin", ["tftp: connecting", "tftp: Connection failed", "never read"], final=FAIL,
              console="Error: Upgrade FWR file fw.bin fail. ("),
         Case("fw.bin", ["tftp: done"], status=1, final=FAIL, console="Error: pclose("),
         Case("fw.bin", ["FAILED"], final=FAIL, console="Error: Upgrade FWR file fw.bin"),
         Case("fw.bin", ["FaIl, eRRor: harmless", "ok"], console=" - ok\n"),
         Case("fw.bin", ["one", "two", "three"], console=" - three\n"),
         # The stop's answer said passed: a failure the cycle counts later changes nothing.
         Case("fw.bin", [f"step {n}" for n in range(9)], console=" - step 8\n", short=True,
              delay=1.0)]
SHORT_SERIAL = "[uart]\nTestSerial = y\nMODEMDEVICE = /dev/ttyS\nportnum = 1\n"
SHORT_FAILURE = "DIE-[testserial][1748] : Serial port 0(rcnt=100) read length error !\n"


def download_dut(net, serial, case):
    dut = runs.device(net, serial, SHORT_SERIAL if case.short else "", download=True)
    dut.script_upgrade(case.lines, delay=case.delay, status=case.status)
    if case.bare:
        dut.drop_interpreter_lines("PassLED.sh", "mp_upgrade.sh")
    plugs = [serialplug.loopbacks("/dev/ttyS", 1, passed={0: 100})] if case.short else []
    dut.start("-e", fixtures=plugs)
    return dut


def run_download(net, dut, case):
    """The run to its final download report, then the query the PC sends at once."""
    pc = RawClient(net, dut.address)
    # A short plug's port: stopped once the first cycle has sent on it.
    sent = (lambda: netns.wait_for(lambda: "port 0: " in str(dut.fixture_logs()), 5.0)) \
        if case.short else None
    stop, download, reports = burnin.run_to_download(pc, case.name, DOWNLOAD_TIMEOUT, sent)
    return stop, download, reports, pc.exchange(frames.CMD_QUERY, timeout=QUERY_TIMEOUT, ser=5)


def test_download_cases(net):
    duts = [download_dut(net, 100 + i, case) for i, case in enumerate(CASES)]
    cancelled = download_dut(net, 300, Case("na"))
    with ThreadPoolExecutor(len(CASES)) as pool:  # one PC thread per device
        outcomes = list(pool.map(lambda d, c: run_download(net, d, c), duts, CASES))
    for dut, case, (stop, download, reports, query) in zip(duts, CASES, outcomes):
        what = (case.name, case.lines[:3])
        assert (stop.status, stop.ser, download.status, download.ser) == \
            (frames.STATUS_OK, 4, frames.STATUS_DOWNLOAD, 5), what
        assert (reports[-1].code, reports[-1].status) == (0x8006, case.final), what
        progress = [r.diagsent for r in reports[:-1] if r.code == frames.RSP_DIAG]
        assert progress == sorted(progress) and all(p <= 99 for p in progress), progress
        assert all(r.status == frames.STATUS_DOWNLOAD for r in reports[:-1]), what
        # The PC asks for the verdict as soon as the last report is in: still answered.
        assert query is not None and (query.code, query.ser, query.status) == \
            (0x8002, 6, case.final), what
        # The verdict on the device is the burn-in's: a failed download does not change it.
        assert dut.wait_console("Burning OK.", 5.0), what
        assert dut.wait_command("/bin/PassLED.sh", 5.0), what
        calls = dut.commands()
        assert [argv for argv in calls if argv[0] == UPGRADE] == \
            [[UPGRADE, "firmware", case.name, "tftp"]], what
        assert {argv[0].rsplit("/", 1)[-1] for argv in calls} <= {
            "fw_printenv", "fw_setenv", "hwclock", "mp_upgrade.sh", "PassLED.sh"}, what
        assert dut.bootenv()["mm_flags"] == "64"
        console = dut.console()
        assert f"hostcommand.req.fwr = {case.name}\n" in console, what
        assert f"Start TFTP download FWR file {case.name}\n" in console, what
        assert case.console in console and " - never read" not in console, what
        if case.short:
            assert 0 <= console.find(SHORT_FAILURE) < console.find("Burning OK."), console

    # Without an expected download the stop ends the run at once; a download is not answered.
    pc = RawClient(net, cancelled.address)
    burnin.start_run(pc, fwr="na")
    assert burnin.stop_run(pc).status == frames.STATUS_OK
    assert cancelled.wait_console("Burning OK.", 5.0)
    pc.command(frames.CMD_DOWNLOAD, ser=4)
    assert pc.collect(1.0, lambda f: f.code in (0x8006, 0x4006)) == []
    assert not any(argv[0] == UPGRADE for argv in cancelled.commands())
