"""Serial port tests of a device burning in: its ports are ptys of the device's own pty
instance, named PREFIXn, with plugs on their far ends (ovikline/serialplug.py) that loop the
bytes back, lose some of them, or carry them to the other port of a pair."""

import calendar
import time

import runs
from ovikline import burnin, serialplug

PREFIX = "/dev/ttyS"
PORTS = 4
PATTERN = "".join(str(i % 10) for i in range(128))  # what every port sends per call
SHORT_PORT, SHORT_COUNT = 1, 100
# Each cycle spends the whole 5-second receive window on the short port: two full cycles fit.
LOOPBACK_DURATION = 16 + burnin.SLOW
TWO_WIRE_DURATION = 3 + burnin.SLOW


def serial_device(net, serial, test_key):
    return runs.device(net, serial, f"[uart]\n{test_key} = y\nMODEMDEVICE = {PREFIX}\n"
                                    f"portnum = {PORTS}\n")


def banner(text):
    bar = "=======================\n"
    return f"{bar}{text}\n{bar}"


def utc_seconds(stamp):
    return calendar.timegm(time.strptime(stamp, "%Y/%m/%d %H:%M:%S"))


def test_serial_loopback_short_plug_and_two_wire_pairs(station_net):
    net = station_net
    looped = serial_device(net, 3001, "TestSerial")
    looped.start("-e", fixtures=[serialplug.loopbacks(PREFIX, PORTS,
                                                      passed={SHORT_PORT: SHORT_COUNT})])
    paired = serial_device(net, 3002, "TestSerial2W")
    paired.start("-e", fixtures=[serialplug.pairs(PREFIX, PORTS)])
    began = time.time()
    burn = burnin.station_burn(net, looped, LOOPBACK_DURATION)
    pairs_burn = burnin.station_burn(net, paired, TWO_WIRE_DURATION, index=1).wait()
    burn.wait()

    # Loop-back plugs, port 1's short: a failed run, port 1 counted once per cycle (the stop
    # may come while a cycle is past port 1), no numbered item (the serial tests have none).
    assert burn.run.returncode == 1 and burn.entry["verdict"] == "failed"
    cycles = burn.record["cycles"]
    short_fails = burn.portfail(SHORT_PORT)
    assert cycles >= 2 and cycles <= short_fails <= cycles + 1, burn.record
    assert burn.record["portfail"] == {f"port {n}": short_fails if n == SHORT_PORT else 0
                                       for n in range(PORTS)}
    assert burn.record["items"] == []
    row = burn.verdict_row()
    assert row is not None and row[0] == "failed" and f"{SHORT_PORT}:{short_fails}" in row, \
        burn.run.stdout

    # The cycle running at the stop ends before the logs are read.
    assert looped.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    records = looped.error_records()
    message = "[testserial][1748] : Serial port 1(rcnt=100) read length error !\n"
    assert [m for _, m in records] == [message] * len(records)
    assert short_fails <= len(records) <= short_fails + 1
    for stamp, _ in records:
        assert began - 2 <= utc_seconds(stamp) <= time.time() + 2, stamp
    console = looped.console()
    # The report, then what arrived: the first 100 bytes of the pattern.
    assert console.count(f"DIE-{message}{PATTERN[:SHORT_COUNT]}\n") == len(records)
    for port in range(PORTS):
        verdict = "FAIL" if port == SHORT_PORT else "PASS"
        assert console.count(banner(f"{verdict} : testserial (Port {port})")) == len(records)
    assert console.count("FAIL : testserial") == len(records)
    assert "Error: Transmit data error" not in console

    # Two-wire pairs pass; each port is switched to two-wire mode once, at start-up, in port
    # order, by the agent.
    burn = pairs_burn
    assert (burn.run.returncode, burn.entry["verdict"]) == (0, "passed")
    assert burn.record["cycles"] >= 1
    assert burn.record["portfail"] == {f"port {n}": 0 for n in range(PORTS)}
    calls = [c for c in paired.command_records() if c["argv"][0].endswith("/setinterface")]
    assert [c["argv"][1:] for c in calls] == [[f"{PREFIX}{n}", "1"] for n in range(PORTS)]
    assert {c["ppid"] for c in calls} == {paired.pid}
    assert paired.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    console = paired.console()
    assert console.count(banner("PASS : testserial2W")) >= burn.record["cycles"]
    assert "DIE-" not in console and paired.error_log() == ""
