"""The host link on the wire: hand-made command frames from the PC namespace, response frames
checked byte for byte, and the agent's console lines for what it received. Each test runs
against the real agent and against an emulated device (ovikline-emulator), which must answer
alike; what only the agent shows (console lines, commands run) is checked for the agent."""

import os
import random
import time

import pytest

from ovikline import burnin, emulate, frames
from ovikline.client import RawClient
from ovikline.network import eth0_address

NO_ANSWER_WINDOW = 1.0
QUERY_TIMEOUT = 1.0


@pytest.fixture(params=["agent", "emulated"])
def kind(request):
    program = emulate.program()
    if request.param == "emulated" and not (program and os.access(program, os.X_OK)):
        pytest.skip(f"no ovikline-emulator program (set OVIK_EMULATOR): {program}")
    return request.param


class Device:
    """The device under test at its serial number's address: an agent started with -s and -i
    (no configuration) or with -e and config, or an emulated device with the same."""

    def __init__(self, net, kind, serial, config=None):
        self.address = eth0_address(serial)
        self.agent = None
        if kind == "emulated":
            self.emulation = emulate.Emulation(net, {serial: []}, config, emulate.program())
            assert self.emulation.wait_ready(), self.emulation.dump()
            return
        if config is None:
            self.agent = net.add_dut()
            self.agent.start("-s", str(serial), "-i", self.address)
        else:
            self.agent = net.add_dut(bootenv={"serialnumber": f"TB{serial:04d}", "mm_flags": "0"},
                                     config=config)
            self.agent.start("-e")

    def says(self, text, timeout=1.0):
        """Whether the agent's console shows text (an emulated device has none)."""
        return self.agent is None or self.agent.wait_console(text, timeout)


def test_hostlink_idle_commands(net, kind):
    dut = Device(net, kind, 1234)
    pc = RawClient(net, dut.address)

    ack = burnin.poll(pc, ser=77)
    assert (ack.code, ack.ser, ack.status, ack.error) == (0x8001, 0, frames.STATUS_IDLE, 0)
    assert (ack.serial, ack.ip) == (1234, dut.address)
    assert (ack.softwareid, ack.apid, ack.portnum) == (0, 0, 0)  # no configuration loaded
    assert ack.tail == bytes(29) and ack.reserved1 == 0 and ack.reserved2 == bytes(3)
    assert dut.says(">>Receive polling command from PC.\n", 1.0)

    nak = pc.exchange(frames.CMD_QUERY, ser=5)
    assert (nak.code, nak.ser, nak.error) == (0x4002, 0, frames.ERR_SEQUENCE)
    assert dut.says("Error sequence number my [0], PC [5]\n", 1.0)
    ack = pc.exchange(frames.CMD_QUERY, ser=0)
    assert (ack.code, ack.ser, ack.error) == (0x8002, 1, 0)

    # Polling is answered only while the sequence number is 0.
    pc.command(frames.CMD_POLLING, ser=1)
    assert pc.collect(NO_ANSWER_WINDOW) == []

    nak = pc.exchange(frames.CMD_STOP, ser=1)
    assert (nak.code, nak.ser, nak.status, nak.error) == (0x4005, 1, 0, frames.ERR_STATE)

    nak = pc.exchange(frames.CMD_SET_PARAMETER, ser=1, baud=921601)
    assert (nak.code, nak.ser, nak.error) == (0x4003, 1, frames.ERR_BAUD)
    assert dut.says("hostcommand.req.baud = 921601\n", 1.0)
    assert dut.says("Error baud rate too large !", 1.0)
    ack = pc.exchange(frames.CMD_SET_PARAMETER, ser=1, baud=921600)
    assert (ack.code, ack.ser, ack.error) == (0x8003, 2, 0)

    # Commands without an answer: nothing comes back, the console names each.
    silent = [(frames.CMD_DOWNLOAD_RESET, ">>Receive download reset command from PC.\n"),
              (frames.CMD_DOWNLOAD_CHECK, ">>Receive download check command from PC.\n"),
              (frames.CMD_SAVE, ">>Receive save command from PC.\n"),
              (frames.CMD_ALIVE_CHECK, ">>Receive alive check command from PC.\n"),
              (frames.CMD_DIAGNOSTIC, ">>Receive diagnostic command from PC.\n"),
              (0x1234, ">>Receive unknow command from PC.\n"),
              (0x0000, ">>Receive unknow command from PC.\n")]
    for cmd, _ in silent:
        pc.command(cmd, ser=2)
    assert pc.collect(NO_ANSWER_WINDOW) == []
    for cmd, line in silent:
        assert dut.says(line), f"command 0x{cmd:04x}"
    assert dut.says(">>Receive command (0x1234) from PC length = 128, ser=2\n", 1.0)

    # A longer datagram counts as its first 128 bytes.
    pc.send(frames.encode_command(frames.CMD_QUERY, ser=2) + bytes(range(72)))
    ack = pc.expect(lambda f: True, QUERY_TIMEOUT)
    assert (ack.code, ack.ser) == (0x8002, 3)
    assert ack.diagrecv == 0  # diagnostics while idle are not counted
    assert dut.says(">>Receive command (0x2) from PC length = 128, ser=2\n", 1.0)

    # A short one is refused without an answer and changes nothing.
    pc.send(frames.encode_command(frames.CMD_QUERY, ser=3)[:127])
    assert pc.collect(NO_ANSWER_WINDOW) == []
    assert dut.says("The data length is too short, need [128]\n", 1.0)
    ack = pc.exchange(frames.CMD_QUERY, ser=3)
    assert (ack.code, ack.ser) == (0x8002, 4)


def test_hostlink_running_commands(net, kind):
    dut = Device(net, kind, 42, burnin.config())
    pc = RawClient(net, dut.address)
    other = RawClient(net, dut.address)

    burnin.poll(pc)
    burnin.answer(pc, frames.CMD_QUERY, 0x8002, ser=0)
    burnin.answer(pc, frames.CMD_SET_PARAMETER, 0x8003, ser=1, baud=115200)
    sent = time.monotonic()
    ack = burnin.answer(pc, frames.CMD_START, 0x8004, timeout=burnin.START_ANSWER_TIMEOUT,
                        ser=2, time=burnin.PC_TIME)
    assert time.monotonic() - sent >= 0.9, "start answered before its one-second wait"
    assert (ack.ser, ack.status, ack.error, ack.serial) == (3, frames.STATUS_RUNNING, 0, 42)
    assert (ack.softwareid, ack.apid) == (0x2B3C, 0x105)

    nak = pc.exchange(frames.CMD_START, ser=3, time=burnin.PC_TIME)
    assert (nak.code, nak.ser, nak.status, nak.error) == (0x4004, 3, 1, frames.ERR_STATE)
    assert dut.says("Error status is not at idle status !", 1.0)
    nak = pc.exchange(frames.CMD_SET_PARAMETER, ser=3, baud=9600)
    assert (nak.code, nak.ser, nak.error) == (0x4003, 3, frames.ERR_STATE)

    # No polling ACK while running; status reports keep coming.
    pc.command(frames.CMD_POLLING, ser=0)
    reports = pc.collect(2.5)
    assert all(r.frame.code == frames.RSP_DIAG for r in reports), \
        [r.describe() for r in reports]
    assert len(reports) >= 2
    assert all((r.frame.ser, r.frame.status) == (3, frames.STATUS_RUNNING) for r in reports)
    sent_counts = [r.frame.diagsent for r in reports]
    assert sent_counts == sorted(sent_counts) and len(set(sent_counts)) == len(sent_counts)

    # Diagnostics while running are counted. Each wakes the loop, yet reports keep their
    # 100 ms spacing (checked with slack for scheduling: a report per datagram would come
    # within a millisecond of the one before).
    for _ in range(3):
        pc.command(frames.CMD_DIAGNOSTIC)
    reports = pc.collect(1.5)
    assert reports and reports[-1].frame.diagrecv == 3
    gaps = [b.t - a.t for a, b in zip(reports, reports[1:])]
    assert all(gap >= 0.05 for gap in gaps), gaps
    assert reports[-1].frame.cycles >= 1

    # Any datagram, even a short one, makes its sender the receiver of the reports.
    other.send(bytes(127))
    redirected = other.expect(lambda f: f.code == frames.RSP_DIAG, 2.0)
    assert redirected is not None, "reports did not follow the short datagram's sender"
    assert dut.says("The data length is too short, need [128]\n", 1.0)
    pc.drain()
    assert pc.collect(1.2) == []
    pc.command(frames.CMD_SAVE)
    assert pc.expect(lambda f: f.code == frames.RSP_DIAG, 2.0) is not None
    other.drain()
    assert other.collect(1.2, lambda f: f.code == frames.RSP_DIAG) == []

    stop = burnin.stop_run(pc)
    assert (stop.ser, stop.status, stop.error) == (4, frames.STATUS_OK, 0)
    assert stop.diagsent == 0 and stop.diagrecv == 0
    assert dut.says("Burning OK.", 5.0)
    if dut.agent is not None:
        assert dut.agent.wait_command("/bin/PassLED.sh", 5.0)
        assert "fw_setenv mm_flags 64" in dut.agent.command_lines()
    # The link is closed after the end of the run.
    pc.command(frames.CMD_QUERY, ser=4)
    assert pc.collect(NO_ANSWER_WINDOW) == []


def test_hostlink_random_datagrams(net, kind):
    dut = Device(net, kind, 77)
    pc = RawClient(net, dut.address)
    burnin.poll(pc)

    rng = random.Random(20240116)
    for n in range(5000):
        data = bytearray(rng.randbytes(rng.randint(0, 600)))
        # Keep the run state where it is: no command that a matching sequence number or a
        # reset would act on.
        if len(data) >= 2 and int.from_bytes(data[:2], "big") in (2, 3, 4, 5, 6, 0x3FFF):
            data[0] = 0x77
        pc.send(bytes(data))
        if n % 25 == 24:
            time.sleep(0.002)
    if dut.agent is not None:
        assert dut.agent.wait_console_settled(0.3, 15.0)
        assert dut.agent.running()
        assert dut.agent.console().count(">>Receive command (") >= 1000
    else:
        assert dut.emulation.running()
    pc.drain()
    started = time.monotonic()
    ack = pc.exchange(frames.CMD_QUERY, timeout=QUERY_TIMEOUT, ser=0)
    assert ack is not None, "no answer to a query after the random datagrams"
    assert (ack.code, ack.ser) == (0x8002, 1)
    assert time.monotonic() - started < QUERY_TIMEOUT
