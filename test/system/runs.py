"""Burn-in runs of several devices at once: through the station (burn_all), or over raw
clients that keep every status report the PC receives (start_all, stop_all, reports), so a test
can follow counters that the final record no longer shows (the stop clears the Wi-Fi ping
counters before it answers)."""

import time

from ovikline import burnin, frames
from ovikline.client import RawClient


def device(net, serial, extra="", **options):
    """A device whose boot loader holds the serial number TB<serial>, configured with extra's
    sections (nothing else enabled)."""
    return net.add_dut(bootenv={"serialnumber": f"TB{serial:04d}", "mm_flags": "0"},
                       config=burnin.config(extra=extra, **options))


def burn_all(net, duts, duration):
    """A station run against each device at once, waited for, and the cycle each test thread
    was running at the stop ended too; returns the runs (burnin.StationBurn) in order."""
    burns = [burnin.station_burn(net, dut, duration, index=i) for i, dut in enumerate(duts)]
    for burn in burns:
        burn.wait()
    for dut in duts:
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT), dut.name
    return burns


def start_all(net, duts, pc_time=burnin.PC_TIME):
    """Starts a run on each device, the start commands in step (each is answered 1 to 4 s
    late); returns one raw client per device."""
    clients = [RawClient(net, dut.address) for dut in duts]
    for pc in clients:
        burnin.poll(pc)
        burnin.answer(pc, frames.CMD_QUERY, 0x8002, ser=0)
        burnin.answer(pc, frames.CMD_SET_PARAMETER, 0x8003, ser=1, baud=115200)
    for pc in clients:
        pc.command(frames.CMD_START, ser=2, time=pc_time)
    deadline = time.monotonic() + burnin.START_ANSWER_TIMEOUT
    for pc in clients:
        ack = pc.expect(lambda f: f.code in (0x8004, 0x4004), deadline - time.monotonic())
        if ack is None or ack.code != 0x8004 or ack.status != frames.STATUS_RUNNING:
            raise burnin.StepFailed(f"{pc.agent}: start not accepted: {ack and ack.describe()}")
    return clients


def stop_all(clients):
    """Stops every run; returns the stop ACKs (with the verdict status)."""
    return [burnin.stop_run(pc, ser=3) for pc in clients]


def reports(pc):
    """The status reports this client received so far, in order."""
    return [item.frame for item in pc.received
            if item.frame is not None and item.frame.code == frames.RSP_DIAG]


def item_fails(frame):
    """Failure counts by item name in one response frame."""
    return {item.name: item.fail for item in frame.items if item.name}
