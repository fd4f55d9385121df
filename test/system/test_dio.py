"""The digital I/O test of a device burning in: /dev/dio is a dio-standin of its own (CUSE, so
only in the virtual test machine), outputs wired to inputs, single input lines held stuck, or a
driver that answers its requests with the line's level instead of 0."""

from dataclasses import dataclass

import pytest

from ovikline import burnin, dio

DURATION = 7 + burnin.SLOW  # a passing call takes 4 s


def requests(level, stuck=None):
    """One phase of a call as dio-standin logs it: every output set to level, then the inputs
    read from channel 0 on; a stuck channel reads the other level and ends the reading."""
    last = 3 if stuck is None else stuck
    return ([f"set {c} {level}" for c in range(4)]
            + [f"get {c} {level}" for c in range(last)]
            + [f"get {last} {level if stuck is None else 1 - level}"])


@dataclass
class Case:
    name: str
    serial: int
    options: tuple        # of the device's dio-standin
    console: str          # what a call prints at its end ("" for the pass banner)
    requests: list        # per call, as dio-standin logs them


CASES = [
    Case("all lines wired", 6001, (), "", requests(0) + requests(1)),
    # Checking stops at the stuck line and the outputs are never driven high.
    Case("DI 2 stuck high", 6002, ("--high", "2"), "DI != 0\n", requests(0, stuck=2)),
    Case("DI 1 stuck low", 6003, ("--low", "1"), "DI != 1\n", requests(0) + requests(1, stuck=1)),
    # Only -1 from the driver is a failure.
    Case("driver answers the level", 6004, ("--answer-level",), "", requests(0) + requests(1)),
]


@pytest.fixture
def dio_standin(station_net):
    reason = dio.missing()
    if reason:
        pytest.skip(reason)
    started = []

    def start(dut, options):
        started.append(dio.Standin(dio.program(), dut, options))
        return started[-1]

    yield start
    for dut in station_net.duts:
        dut.stop()
    for standin in started:
        standin.stop()


def test_dio_lines_and_driver_answers(station_net, dio_standin):
    net = station_net
    devices = []
    for case in CASES:
        dut = net.add_dut(bootenv={"serialnumber": f"TB{case.serial}", "mm_flags": "0"},
                          config=burnin.config(extra="[dio]\nTestDIO = y\n"))
        standin = dio_standin(dut, case.options)
        dut.start("-e", dio=standin.name)
        devices.append((case, dut, standin))
    started = [(case, dut, standin, burnin.station_burn(net, dut, DURATION, index=i))
               for i, (case, dut, standin) in enumerate(devices)]

    for case, dut, standin, burn in started:
        burn.wait()
        passed = not case.console
        assert burn.run.returncode == (0 if passed else 1), case.name
        cycles = burn.record["cycles"]
        assert cycles >= 1, (case.name, burn.record)
        assert list(burn.items()) == ["DIO"], case.name
        fails = burn.items()["DIO"]
        if passed:
            assert fails == 0, case.name
        else:
            assert cycles <= fails <= cycles + 1, (case.name, burn.record)

        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT), case.name
        made = standin.requests()
        calls = len(made) // len(case.requests)
        assert made == case.requests * calls, case.name
        assert calls >= cycles, case.name
        console = dut.console()
        banners = console.count("=======================\nPASS : testDIO\n"
                                "=======================\n")
        if passed:
            assert banners == calls, case.name
            assert "DI != " not in console, case.name
        else:
            assert banners == 0, case.name
            assert console.count(case.console) == calls, case.name
            assert fails <= calls <= fails + 1, case.name
        assert "Failed to get DIN state" not in console, case.name
        assert dut.error_log() == "", case.name
