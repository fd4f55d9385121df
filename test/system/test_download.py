"""Firmware download after a passed run: the upgrade script's argument vector, the progress
reports and the final status, driven byte by byte from the PC namespace. Devices run in
parallel, one PC thread each."""

import threading

from ovikline import burnin, frames
from ovikline.client import RawClient

DOWNLOAD_TIMEOUT = 25.0
QUERY_TIMEOUT = 2.0  # answered at once, when it comes within the agent's 1 s wait
UPGRADE = "/usr/sbin/mp_upgrade.sh"
FAST_SCRIPT = [f"tftp: block {n}" for n in range(1, 101)]  # takes the progress to 95 at once


def download_dut(net, serial, script, status=0, delay=0.0):
    dut = net.add_dut(bootenv={"serialnumber": f"TB{serial:04d}", "mm_flags": "0"},
                      config=burnin.config(download=True))
    dut.script_upgrade(script, delay=delay, status=status)
    dut.start("-e")
    return dut


def run_download(net, dut, name):
    return burnin.run_to_download(RawClient(net, dut.address), name, DOWNLOAD_TIMEOUT)


def in_parallel(jobs):
    """Runs each job (a callable) on its own thread; returns their results in order and
    re-raises the first failure."""
    results = [None] * len(jobs)
    errors = [None] * len(jobs)

    def body(i):
        try:
            results[i] = jobs[i]()
        except BaseException as exc:  # reported on the test's thread below
            errors[i] = exc
    threads = [threading.Thread(target=body, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=DOWNLOAD_TIMEOUT + 30)
    for t, exc in zip(threads, errors):
        assert not t.is_alive(), "a PC thread did not finish"
        if exc is not None:
            raise exc
    return results


def test_download_names_reach_the_script_as_one_argument(net):
    names = ["x;reboot", "$(id)", "a b&&id", "`id`|tee f", "fw-1.2.bin"]
    duts = [download_dut(net, 100 + i, FAST_SCRIPT) for i in range(len(names))]
    outcomes = in_parallel([lambda d=d, n=n: run_download(net, d, n)
                            for d, n in zip(duts, names)])
    for dut, name, (stop, download, reports) in zip(duts, names, outcomes):
        assert (stop.status, stop.ser) == (frames.STATUS_OK, 4)
        assert (download.status, download.ser) == (frames.STATUS_DOWNLOAD, 5)
        final = reports[-1]
        assert (final.code, final.status) == (0x8006, frames.STATUS_DOWNLOAD_OK), name
        progress = [r.diagsent for r in reports[:-1] if r.code == frames.RSP_DIAG]
        assert progress == sorted(progress) and all(p <= 99 for p in progress), progress
        assert all(r.status == frames.STATUS_DOWNLOAD for r in reports[:-1])
        assert dut.wait_console("Burning OK.", 5.0), name
        assert dut.wait_command("/bin/PassLED.sh", 5.0), name
        calls = dut.commands()
        upgrade_calls = [argv for argv in calls if argv[0] == UPGRADE]
        assert upgrade_calls == [[UPGRADE, "firmware", name, "tftp"]], name
        names_run = {argv[0].rsplit("/", 1)[-1] for argv in calls}
        assert names_run <= {"fw_printenv", "fw_setenv", "hwclock", "mp_upgrade.sh",
                             "PassLED.sh"}, (name, names_run)
        assert dut.bootenv()["mm_flags"] == "64"
        console = dut.console()
        assert f"hostcommand.req.fwr = {name}\n" in console
        assert f"Start TFTP download FWR file {name}\n" in console
        assert " - tftp: block 1\n" in console and " - tftp: block 100\n" in console


def test_download_outcomes(net):
    # (script lines, exit status, final status, console text)
    table = [(["tftp: connecting", "tftp: Connection failed", "never read"], 0,
              frames.STATUS_DOWNLOAD_FAIL, "Error: Upgrade FWR file fw.bin fail. ("),
             (["tftp: done"], 1, frames.STATUS_DOWNLOAD_FAIL, "Error: pclose("),
             (["FAILED"], 0, frames.STATUS_DOWNLOAD_FAIL, "Error: Upgrade FWR file fw.bin"),
             (["FaIl, eRRor: harmless", "ok"], 0, frames.STATUS_DOWNLOAD_OK, " - ok\n"),
             (["one", "two", "three"], 0, frames.STATUS_DOWNLOAD_OK, " - three\n")]
    duts = [download_dut(net, 200 + i, lines, status=status)
            for i, (lines, status, _, _) in enumerate(table)]
    outcomes = in_parallel([lambda d=d: run_download(net, d, "fw.bin") for d in duts])
    for dut, (lines, status, final_status, text), (_, _, reports) in zip(duts, table, outcomes):
        final = reports[-1]
        assert (final.code, final.status) == (0x8006, final_status), lines
        assert text in dut.console(), lines
        if "never read" in lines:
            assert " - never read" not in dut.console()
        upgrade_calls = [argv for argv in dut.commands() if argv[0] == UPGRADE]
        assert upgrade_calls == [[UPGRADE, "firmware", "fw.bin", "tftp"]]


def test_download_cancelled_by_na(net):
    dut = download_dut(net, 300, FAST_SCRIPT)
    pc = RawClient(net, dut.address)
    burnin.start_run(pc, fwr="na")
    stop = burnin.stop_run(pc)
    assert stop.status == frames.STATUS_OK
    # Without an expected download the stop ends the run at once.
    assert dut.wait_console("Burning OK.", 5.0)
    pc.command(frames.CMD_DOWNLOAD, ser=4)
    assert pc.collect(1.0, lambda f: f.code in (0x8006, 0x4006)) == []
    assert not any(argv[0] == UPGRADE for argv in dut.commands())


def test_download_final_report_then_query(net):
    # The PC asks for the verdict as soon as the last report is in: the pass that sent it
    # still answers.
    dut = download_dut(net, 400, FAST_SCRIPT)
    pc = RawClient(net, dut.address)
    _, download, reports = burnin.run_to_download(pc, "fw.bin", DOWNLOAD_TIMEOUT)
    assert (reports[-1].code, reports[-1].status) == (0x8006, frames.STATUS_DOWNLOAD_OK)
    assert download.ser == 5
    ack = pc.exchange(frames.CMD_QUERY, timeout=QUERY_TIMEOUT, ser=5)
    assert ack is not None, "no answer to the query after the final download report"
    assert (ack.code, ack.ser, ack.status) == (0x8002, 6, frames.STATUS_DOWNLOAD_OK)
