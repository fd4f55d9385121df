"""The run's clock: on devices with a clock of their own (the line simulator's rtc-clock over
each device's /dev/rtc0), and on one with a real hardware clock, only in the virtual test
machine, whose kernel has an RTC driver. A development machine's own clock is never given to a
device."""

import os
import time

import pytest

from ovikline import burnin, frames
from ovikline.client import RawClient
from ovikline.network import built_program

# 2030-01-01 00:00:00 UTC: far from the machine's own time, so a real clock write shows.
PC_TIME = 1893456000


@pytest.fixture
def clock_net(net):
    if os.environ.get("OVIK_VM") != "1" or not os.path.exists("/dev/rtc0"):
        pytest.skip("needs the virtual test machine's hardware clock (test/vm/ovik-vm)")
    # The device moves the machine's clock to 2030; later tests get the real time back.
    wall, mono = time.time(), time.monotonic()
    yield net
    time.clock_settime(time.CLOCK_REALTIME, wall + time.monotonic() - mono)


def test_clock_start_sets_the_real_clock_and_burn_time_runs(clock_net):
    net = clock_net
    dut = net.add_dut()
    dut.start("-s", "1234", "-i", "192.180.7.7", rtc=True)
    pc = RawClient(net, dut.address)
    burnin.poll(pc)  # the agent is up
    sent = time.monotonic()
    ack = burnin.start_run(pc, pc_time=PC_TIME)
    waited = time.monotonic() - sent
    # The clock write works at once: the answers come after the 1 s pause, not after a retry
    # 3 s later.
    assert 0.9 <= waited < 3.5, waited
    # The start ACK's date is the PC's time in the run's zone (UTC+8): 2030-01-01 08:00.
    assert (ack.datetime[5], ack.datetime[4], ack.datetime[3]) == (130, 0, 1), ack.describe()
    assert ack.datetime[2] == 8, ack.describe()
    assert dut.wait_command("hwclock -s", 2.0)
    # hwclock -s was the real one: the machine's system clock now follows the device's clock
    # (read as UTC or as local time, depending on the machine's adjtime).
    assert time.gmtime().tm_year == 2030, time.ctime()

    time.sleep(3.5)
    pc.drain()
    report = pc.expect(lambda f: f.code == 0xC000, 2.0)
    assert report is not None
    assert 3 <= report.burntime <= 6, report.describe()
    stop = burnin.stop_run(pc, ser=3)
    assert stop.status == frames.STATUS_OK
    assert 3 <= stop.burntime <= 7, stop.describe()
    assert "Cannot open /dev/rtc0" not in dut.stderr()


def test_clock_each_device_has_its_own(net):
    if not built_program("OVIK_RTC_CLOCK", "ovikline/rtc-clock"):
        pytest.skip("rtc-clock not built (set OVIK_RTC_CLOCK)")
    wall, mono = time.time(), time.monotonic()
    started = []
    for day in (1, 2):
        dut = net.add_dut()
        dut.start("-s", str(20 + day), "-i", f"192.180.7.{20 + day}")
        pc = RawClient(net, dut.address)
        burnin.poll(pc)
        sent = time.monotonic()
        ack = burnin.start_run(pc, pc_time=PC_TIME + (day - 1) * 86400)
        waited = time.monotonic() - sent
        # The clock write works: the answer follows the 1 s pause, without the retry.
        assert 0.9 <= waited < 1.0 + burnin.SLOW, waited
        # The PC's time in the run's zone (UTC+8): 2030-01-01 or -02, 08:00.
        assert list(ack.datetime[2:]) == [8, day, 0, 130], ack.describe()
        started.append((day, dut, pc, time.monotonic()))

    for day, dut, pc, acked in started:
        assert pc.expect(lambda f: f.code == frames.RSP_DIAG and f.burntime >= 2, 5.0)
        stop = burnin.stop_run(pc)
        ran = time.monotonic() - acked
        assert abs(stop.burntime - ran) <= 1 + 0.25 * burnin.SLOW, (stop.describe(), ran)
        # Each clock kept its own date: setting the other moved it not.
        assert list(stop.datetime[2:]) == [8, day, 0, 130], stop.describe()
        assert dut.command_lines().count("hwclock -s") == 1
        assert "Cannot open /dev/rtc0" not in dut.stderr()
    # Neither the clocks nor the hwclock stand-in moved this machine's clock.
    assert abs(time.time() - wall - (time.monotonic() - mono)) < 1.0
