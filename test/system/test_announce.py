"""Announcements: broadcast to port 1032 every 3 seconds while idle and unanswered, stopped by
the first answered command, started again by a reset."""

from ovikline import burnin, frames
from ovikline.client import RawClient

INTERVAL = 3.0
TOLERANCE = 0.5


def announcements(listener, address, count, timeout):
    """Arrival times of the next count announcements from address."""
    times = []
    while len(times) < count:
        item = listener.receive(timeout)
        assert item is not None, f"only {len(times)} announcements from {address}"
        if item.source[0] == address and item.frame and item.frame.code == frames.RSP_ALIVE:
            times.append((item.t, item.frame))
    return times


def check_intervals(times):
    gaps = [b[0] - a[0] for a, b in zip(times, times[1:])]
    assert all(abs(gap - INTERVAL) <= TOLERANCE for gap in gaps), gaps


def test_announce_interval_and_reset(net):
    dut = net.add_dut()
    dut.start("-s", "300", "-i", "192.180.2.46")
    listener = RawClient(net, port=frames.PC_PORT, broadcast=True)
    pc = RawClient(net, dut.address)

    times = announcements(listener, dut.address, 4, INTERVAL + 5.0)
    check_intervals(times)
    for _, frame in times:
        assert (frame.ser, frame.status, frame.serial, frame.ip) == \
            (0, frames.STATUS_IDLE, 300, "192.180.2.46")
    assert dut.wait_console("<<Send ALIVE message to PC to want to start burning. [512]\n",
                            1.0, count=4)

    burnin.poll(pc)
    burnin.answer(pc, frames.CMD_QUERY, 0x8002, ser=0)
    listener.drain()
    quiet = listener.collect(INTERVAL + 1.5, lambda f: f.code == frames.RSP_ALIVE)
    assert quiet == [], "announcements went on after an answered command"

    pc.command(frames.CMD_RESET, ser=1)
    assert pc.collect(0.5) == [], "a reset has no answer"
    assert dut.wait_console(">>Receive reset command from PC.\n", 1.0)
    times = announcements(listener, dut.address, 2, INTERVAL + TOLERANCE)
    check_intervals(times)
    assert all((f.ser, f.status) == (0, frames.STATUS_IDLE) for _, f in times)
    # The sequence number is back at 0, so polling is answered again.
    ack = pc.exchange(frames.CMD_POLLING)
    assert ack is not None and (ack.code, ack.ser) == (0x8001, 0)
