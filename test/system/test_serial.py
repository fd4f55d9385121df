"""Serial port tests of a device burning in: its ports are ptys of the device's own pty
instance, named PREFIXn, with plugs on their far ends (ovikline/serialplug.py) that loop the
bytes back, lose or change some of them, or carry them to the other port of a pair."""

import calendar
import time

import runs
from ovikline import burnin, serialplug

PREFIX = "/dev/ttyS"
PORTS = 4
PATTERN = "".join(str(i % 10) for i in range(128))  # what every port sends per call
SHORT_PORT, SHORT_COUNT = 1, 100
CORRUPT_PORT, CORRUPT_BYTE = 2, 5  # its plug flips the lowest bit of byte 5: '5' comes back '4'
MISSING_PORT = PORTS  # configured, but no such node
# What the loop-back plugs' device logs in every cycle, in port order.
CYCLE_RECORDS = [f"[testserial][1748] : Serial port {SHORT_PORT}(rcnt={SHORT_COUNT}) read length "
                 "error !\n",
                 f"[testserial][1759] : Serial port {CORRUPT_PORT} read data error !\n",
                 f"[testserial][1762] : wbuf[{CORRUPT_BYTE}]: 35  !=  "
                 f"rbuf[{CORRUPT_PORT}][{CORRUPT_BYTE}]: 34\n",
                 f"[testserial][1650] : Open UART {PREFIX}{MISSING_PORT} fail !\n"]
FAILING = (SHORT_PORT, CORRUPT_PORT, MISSING_PORT)
PAIR_SHORT = "[testserial2W][1990] : Serial port 0(rcnt=100) read length error" + "\t" * 9 + " !\n"
# Each cycle spends the whole 5-second receive window on the short port: two full cycles fit.
LOOPBACK_DURATION = 16 + burnin.SLOW
TWO_WIRE_DURATION = 3 + burnin.SLOW


def serial_device(net, serial, test_key, ports=PORTS, extra=""):
    return runs.device(net, serial, f"[uart]\n{test_key} = y\nMODEMDEVICE = {PREFIX}\n"
                                    f"portnum = {ports}\n{extra}")


def banner(text):
    bar = "=======================\n"
    return f"{bar}{text}\n{bar}"


def utc_seconds(stamp):
    return calendar.timegm(time.strptime(stamp, "%Y/%m/%d %H:%M:%S"))


def test_serial_loopback_short_plug_and_two_wire_pairs(station_net):
    net = station_net
    looped = serial_device(net, 3001, "TestSerial", ports=PORTS + 1)
    looped.start("-e", fixtures=[serialplug.loopbacks(PREFIX, PORTS, passed={
        SHORT_PORT: SHORT_COUNT}, corrupt={CORRUPT_PORT: CORRUPT_BYTE})])
    paired = serial_device(net, 3002, "TestSerial2W")
    paired.start("-e", fixtures=[serialplug.pairs(PREFIX, PORTS)])
    shorted = serial_device(net, 3003, "TestSerial2W", ports=2)  # port 1's wire loses bytes
    shorted.start("-e", fixtures=[serialplug.pairs(PREFIX, 2, passed={1: SHORT_COUNT})])
    fast = serial_device(net, 3004, "TestSerial", ports=1, extra="interface_mode = 0\n")
    fast.start("-e", fixtures=[serialplug.loopbacks(PREFIX, 1)])
    began = time.time()
    # An unknown rate: the loop-back test runs at 115200.
    burn = burnin.station_burn(net, looped, LOOPBACK_DURATION, options=("--baud", "4800"))
    pairs_burn = burnin.station_burn(net, paired, TWO_WIRE_DURATION, index=1)
    short_burn = burnin.station_burn(net, shorted, LOOPBACK_DURATION, index=2)
    fast_burn = burnin.station_burn(net, fast, TWO_WIRE_DURATION, index=3,
                                    options=("--baud", "921600"))
    for each in (pairs_burn, fast_burn, burn, short_burn):
        each.wait()

    # Loop-back plugs, port 1's short, port 2's changing a byte, port 4 missing: a failed
    # run, each counted once per cycle (the stop may come while a cycle is past it), no
    # numbered item (the serial tests have none).
    assert burn.run.returncode == 1 and burn.entry["verdict"] == "failed"
    cycles = burn.record["cycles"]
    short_fails = burn.portfail(SHORT_PORT)
    assert cycles >= 2 and cycles <= short_fails <= cycles + 1, burn.record
    assert all(cycles <= burn.portfail(n) <= cycles + 1 for n in FAILING), burn.record
    assert all(burn.portfail(n) == 0 for n in range(PORTS) if n not in FAILING), burn.record
    assert burn.record["items"] == []
    row = burn.verdict_row()
    assert row is not None and row[0] == "failed" and f"{SHORT_PORT}:{short_fails}" in row, \
        burn.run.stdout

    # The cycle running at the stop ends before the logs are read.
    assert looped.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    records = looped.error_records()
    logged = len(records) // len(CYCLE_RECORDS)
    assert [m for _, m in records] == CYCLE_RECORDS * logged
    assert short_fails <= logged <= short_fails + 1
    for stamp, _ in records:
        assert began - 2 <= utc_seconds(stamp) <= time.time() + 2, stamp
    console = looped.console()
    # The report, then what arrived: the first 100 bytes of the pattern.
    assert console.count(f"DIE-{CYCLE_RECORDS[0]}{PATTERN[:SHORT_COUNT]}\n") == logged
    assert console.count(f"DIE-{CYCLE_RECORDS[1]}DIE-{CYCLE_RECORDS[2]}") == logged
    for port in range(PORTS + 1):
        verdict = "FAIL" if port in FAILING else "PASS"
        assert console.count(banner(f"{verdict} : testserial (Port {port})")) == logged
    assert console.count("FAIL : testserial") == len(FAILING) * logged
    assert console.count("Error: bad baudrate (4800), set to 115200.\n") == PORTS * logged
    assert "Error: Transmit data error" not in console

    # A two-wire pair whose port 0 receives 100 bytes: the report, then what arrived.
    assert short_burn.run.returncode == 1 and short_burn.record["portfail"]["port 1"] == 0
    assert shorted.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
    logged = len(shorted.error_records())
    assert [m for _, m in shorted.error_records()] == [PAIR_SHORT] * logged
    assert 1 <= short_burn.portfail(0) <= logged <= short_burn.portfail(0) + 1
    assert shorted.console().count(f"DIE-{PAIR_SHORT}{PATTERN[:SHORT_COUNT]}\n") == logged
    assert "PASS : testserial2W" not in shorted.console()

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

    # Interface mode 0 at the top rate: RTS/CTS at 921600 on every pattern sent, and a pass.
    assert (fast_burn.run.returncode, fast_burn.record["portfail"]) == (0, {"port 0": 0})
    sent = [line for line in "".join(fast.fixture_logs().values()).splitlines()
            if " bytes sent " in line]
    assert sent and all(" at 921600 baud, flow control RTS/CTS, " in line for line in sent), sent
