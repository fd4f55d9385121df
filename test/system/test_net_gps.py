"""The GPS test of devices burning in, each with a receiver on a pty of its own
(ovikline/peripherals.py): recorded sessions of real receivers, a receiver that sends only text
sentences, noise from a port at the wrong line speed, silence, and no receiver at all."""

import re
from pathlib import Path

import pytest

import runs
from ovikline import burnin, peripherals

CAPTURES = Path(__file__).resolve().parents[3] / "shared" / "fixtures" / "gps"
PORT = "/dev/ttyGPS0"
# Each silent call waits 5 s: the run holds at least two of them.
DURATION = 12 + 2 * burnin.SLOW
WRONG = "Got wrong message. \ngrbuf: "
TIMEOUT = "Timeout to select in testGPS().\n"


def test_gps_receivers_through_a_whole_run(station_net):
    captures = sorted(CAPTURES.glob("*.log"))
    if not captures:
        pytest.skip(f"no receiver recordings in {CAPTURES}")
    plans = {c.name: [peripherals.receiver(PORT, f"feed:{c}")] for c in captures}
    plans |= {mode: [peripherals.receiver(PORT, mode)] for mode in ("text", "noise", "silent")}
    plans["absent"] = []
    duts = [runs.device(station_net, 4500 + n, f"[gps]\nTestGPS = y\nGPSDEVICE = {PORT}\n")
            for n in range(len(plans))]
    for dut, fixtures in zip(duts, plans.values()):
        dut.start("-e", fixtures=fixtures)
    outcome = {}
    for name, dut, burn in zip(plans, duts, runs.burn_all(station_net, duts, DURATION)):
        assert dut.error_log() == "", "the GPS test writes nothing to the error log"
        assert burn.record["cycles"] >= 2, (name, burn.record)
        outcome[name] = (burn.record["cycles"], burn.items()["GPS"], dut.console(),
                         burn.entry["verdict"])

    for capture in captures:
        cycles, fails, console, verdict = outcome[capture.name]
        wrong = console.count(WRONG)
        assert TIMEOUT not in console and f"Open {PORT} fail" not in console, capture.name
        # The line discipline hands a read 64 bytes at a time, so a read may hold only the
        # tail of a sentence, or sentences the table does not know ($GPZDA, $PMTK, ...): the
        # first such read is forgiven, every later one counted.
        assert fails in (max(0, wrong - 1), max(0, wrong - 2)), (capture.name, fails, wrong)
        assert verdict == ("passed" if fails == 0 else "failed")

    cycles, fails, console, verdict = outcome["text"]
    assert (fails, console.count(WRONG), verdict) == (0, 0, "passed"), console[-2000:]

    # Noise: the first block without a sentence passes, every later one fails; the garble is
    # printed as it came.
    cycles, fails, console, verdict = outcome["noise"]
    assert console.count(WRONG) >= cycles and cycles - 1 <= fails <= cycles, (cycles, fails)
    garble = re.findall(r"grbuf: ([^\n]*)\n", console)
    assert garble and all(line and all(ord(ch) >= 0x80 for ch in line) for line in garble)

    cycles, fails, console, verdict = outcome["silent"]
    assert cycles <= fails <= cycles + 1 and console.count(TIMEOUT) >= fails, (cycles, fails)
    assert verdict == "failed"

    # A missing port fails at once, without the 5-second wait.
    cycles, fails, console, verdict = outcome["absent"]
    assert cycles <= fails <= cycles + 1 and console.count(f"Open {PORT} fail !\n") >= fails
    assert TIMEOUT not in console
