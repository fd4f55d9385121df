"""The cellular modem test of devices burning in, with AT modems on ptys of their own
(ovikline/peripherals.py): a Sierra Wireless modem that echoes and answers, a manufacturer the
agent does not know, the known name in lower case, a modem that comes up while the agent waits
for it, and one that answers only after the agent's 5 s of waiting: as if it never answered."""

import runs
from ovikline import burnin, peripherals

FN = "testCELL_AT"
SIERRA, OTHER, LOWER = "/dev/ttyUSB2", "/dev/ttyUSB5", "/dev/ttyUSB8"
LATE, SLOW = "/dev/ttyUSB2", "/dev/ttyUSB3"
OTHER_ANSWER = "\r\nQuectel\r\n\r\nOK\r\n"
LOWER_ANSWER = "\r\nsierra wireless, incorporated\r\n\r\nOK\r\n"
# The known modems: each cycle costs about 1 s for the good one and 4 s for each wrong one.
ANSWERING_DURATION = 14 + 2 * burnin.SLOW
# A slow modem spends the 5 s wait budget and ten 1-second passes per attempt: about 38 s a
# call; the run holds the first whole cycle. The call running at the stop is not waited for.
UNANSWERED_DURATION = 48 + 2 * burnin.SLOW


def cellular_device(net, serial, *ports):
    return runs.device(net, serial, "[cellular]\n" + "".join(
        f"TestCELL{s} = y\nCELLDEVICE{s} = {port}\nINTERVAL{s} = 0\n"
        for s, port in zip(("", "2", "3"), ports)))


def wrong_vendor_records(answer):
    """A call against a modem with the wrong name: three attempts, each reported with the
    response itself; later attempts read nothing more (the response is already 12 bytes)."""
    records = []
    for attempt in (1, 2, 3):
        records += [f"[{FN}][3657] : Cellular: wrong vendor info. cnt_retry={attempt}\n", answer]
    return records


def test_cellular_modems(station_net):
    net = station_net
    known = cellular_device(net, 4601, SIERRA, OTHER, LOWER)
    known.start("-e", fixtures=[peripherals.modem(SIERRA, "sierra"),
                                peripherals.modem(OTHER, "other"),
                                peripherals.modem(LOWER, "lower")])
    quiet = cellular_device(net, 4602, LATE, SLOW)
    plugged = quiet.dir / "modem-powered"
    quiet.start("-e", fixtures=[peripherals.modem(LATE, "sierra", appear_when=plugged),
                                peripherals.modem(SLOW, "sierra", answer_after=6)])
    burn = burnin.station_burn(net, known, ANSWERING_DURATION)
    slow_burn = burnin.station_burn(net, quiet, UNANSWERED_DURATION, index=1)
    # The agent finds no port yet and gives the modem 5 s to come up: it comes up meanwhile.
    assert quiet.wait_console(f"AT port : {LATE}\n", burnin.STATION_OVERHEAD)
    plugged.touch()
    burn.wait()
    assert known.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)

    items, cycles = burn.items(), burn.record["cycles"]
    assert burn.entry["verdict"] == "failed" and burn.run.returncode == 1
    assert items["Cellular"] == 0 and cycles <= items["Cellular2"] <= cycles + 1, (cycles, items)
    assert items["Cellular3"] in (items["Cellular2"] - 1, items["Cellular2"]), items
    row = burn.verdict_row()
    assert row is not None and "Cellular2" in " ".join(row) and "Cellular3" in " ".join(row)
    # Every cycle that ran (the one running at the stop ended too) logged both wrong modems.
    messages = [m for _, m in known.error_records()]
    calls = len(messages) // 12
    assert items["Cellular2"] <= calls <= items["Cellular2"] + 1
    assert messages == (wrong_vendor_records(OTHER_ANSWER)
                        + wrong_vendor_records(LOWER_ANSWER)) * calls
    console = known.console(exact=True)
    bar = "=======================\n"
    assert console.count(f"[{FN}|3569]\n") == 3 * calls
    assert console.count(f"{bar}PASS : {FN} \n{bar}") == calls
    assert console.count(f"{bar}FAIL : {FN} \n{bar}") == 2 * calls
    # The good modem answers at the first read, its echo included.
    assert console.count(f"AT port : {SIERRA}\n") == calls
    assert console.count(f"Cellular: wrong vendor info ({OTHER_ANSWER})\n") == 3 * calls

    # The late modem passes, the slow one fails every call.
    slow_burn.wait()
    quiet.stop()
    items, cycles = slow_burn.items(), slow_burn.record["cycles"]
    assert cycles >= 1 and items["Cellular"] == 0, (cycles, items)
    assert cycles <= items["Cellular2"] <= cycles + 1, (cycles, items)
    assert slow_burn.entry["verdict"] == "failed"
    log = quiet.error_log()
    assert f"Open {LATE} fail" not in log, "the late modem was open at the first attempt"
    calls = log.count(f"[{FN}][3657] : Cellular: wrong vendor info. cnt_retry=3\n")
    assert items["Cellular2"] <= calls <= items["Cellular2"] + 1
    # Each attempt: ten waits find nothing (the first spends the 5 s budget, the answer comes
    # later), the empty response is a wrong one; the call running at the stop is cut short.
    for loop in range(10):
        assert 3 * calls <= log.count(f"[{FN}][3618] : No AT response. Loop {loop}\n") \
            <= 3 * calls + 3, loop
    for attempt in (1, 2):
        assert calls <= log.count(f"cnt_retry={attempt}\n") <= calls + 1
    assert f"[{FN}][3625]" not in log and f"[{FN}][3602]" not in log
