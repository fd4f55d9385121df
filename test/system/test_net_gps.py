"""The GPS test of devices burning in, each with a receiver on a pty of its own
(ovikline/peripherals.py): recorded sessions of real receivers, a receiver that sends only text
sentences, noise from a port at the wrong line speed, silence, and no receiver at all."""

import re
from pathlib import Path

import pytest

from ovikline import burnin, peripherals

CAPTURES = Path(__file__).resolve().parents[3] / "shared" / "fixtures" / "gps"
PORT = "/dev/ttyGPS0"
# Each silent call waits 5 s: the run holds at least two of them.
DURATION = 12 + 2 * burnin.SLOW
WRONG = "Got wrong message. \ngrbuf: "
TIMEOUT = "Timeout to select in testGPS().\n"


def gps_config(port=PORT):
    return burnin.config(extra=f"[gps]\nTestGPS = y\nGPSDEVICE = {port}\n")


def test_gps_receivers_through_a_whole_run(station_net):
    if not CAPTURES.is_dir():
        pytest.skip(f"no receiver recordings in {CAPTURES}")
    net = station_net
    captures = sorted(CAPTURES.glob("*.log"))
    assert captures, CAPTURES
    plans = [(c.name, peripherals.receiver(PORT, f"feed:{c}")) for c in captures]
    plans += [("text", peripherals.receiver(PORT, "text")),
              ("noise", peripherals.receiver(PORT, "noise")),
              ("silent", peripherals.receiver(PORT, "silent")),
              ("absent", None)]
    duts = {}
    for n, (name, fixture) in enumerate(plans):
        dut = net.add_dut(bootenv={"serialnumber": f"TB45{n:02d}", "mm_flags": "0"},
                          config=gps_config())
        dut.start("-e", fixtures=[fixture] if fixture else [])
        duts[name] = dut
    burns = {name: burnin.station_burn(net, dut, DURATION, index=n)
             for n, (name, dut) in enumerate(duts.items())}
    for burn in burns.values():
        burn.wait()
    for dut in duts.values():
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)

    def outcome(name):
        burn = burns[name]
        console = duts[name].console()
        assert duts[name].error_log() == "", "the GPS test writes nothing to the error log"
        assert burn.record["cycles"] >= 2, (name, burn.record)
        return burn.record["cycles"], burn.items()["GPS"], console

    for capture in captures:
        cycles, fails, console = outcome(capture.name)
        wrong = console.count(WRONG)
        assert TIMEOUT not in console and f"Open {PORT} fail" not in console, capture.name
        # The line discipline hands a read 64 bytes at a time, so a read may hold only the
        # tail of a sentence, or sentences the table does not know ($GPZDA, $PMTK, ...): the
        # first such read is forgiven, every later one counted.
        assert fails == max(0, wrong - 1) or fails == max(0, wrong - 2), (capture.name, fails,
                                                                          wrong)
        assert burns[capture.name].entry["verdict"] == ("passed" if fails == 0 else "failed")

    cycles, fails, console = outcome("text")
    assert (fails, console.count(WRONG)) == (0, 0), console[-2000:]
    assert burns["text"].entry["verdict"] == "passed"

    # Noise: the first block without a sentence passes, every later one fails.
    cycles, fails, console = outcome("noise")
    calls = console.count(WRONG)
    assert calls >= cycles and cycles - 1 <= fails <= cycles, (cycles, fails, calls)
    garble = re.findall(r"grbuf: ([^\n]*)\n", console)
    assert garble and all(line and all(ord(ch) >= 0x80 for ch in line) for line in garble), \
        "the garble the receiver sent is printed as it came"

    cycles, fails, console = outcome("silent")
    assert cycles <= fails <= cycles + 1 and console.count(TIMEOUT) >= fails, (cycles, fails)
    assert burns["silent"].entry["verdict"] == "failed"

    cycles, fails, console = outcome("absent")
    assert cycles <= fails <= cycles + 1, (cycles, fails)
    assert console.count(f"Open {PORT} fail !\n") >= fails
    assert TIMEOUT not in console, "a missing port fails at once, without the 5-second wait"
