"""Faults a line description injects besides the cabling of its tests (ovikline): a device that
reboots in its run, and a lossy eth0 cable. These show that the fault happens; what the station
makes of it is the station's tests' concern."""

import json
import os
import socket
from pathlib import Path

import pytest

from ovikline import burnin, cli, frames, line, netns
from ovikline.client import RawClient

LINES = Path(__file__).resolve().parent / "lines"
PC_TIME = 1893456000  # 2030-01-01 08:00 in the run's zone (UTC+8)
PC_PORT, DEVICE_PORT = 41033, 41034  # apart: each sender also hears its own broadcasts
FRAMES = 500  # each way


def faulty(built, fault):
    """(device, its dut, the fault's value) of the line's one device with the fault."""
    [device] = [d for d in built.description.devices if fault in d.faults]
    return device, built.duts[device.serial], device.faults[fault]


def test_line_fault_agent_restart(net):
    built = line.Line(net, line.load(LINES / "agent-restart.toml"))
    try:
        device, dut, seconds = faulty(built, "agent-restart")
        assert not built.wait_announced(burnin.READY_TIMEOUT)
        boot_line = f"Serial Number: {device.serialnumber}\n"
        (dut.shm / "left-by-the-run").write_text("")
        pc = RawClient(net, dut.address)
        burnin.start_run(pc, pc_time=PC_TIME)

        # A second boot, which read the boot-loader environment again.
        assert dut.wait_console(boot_line, seconds + burnin.READY_TIMEOUT, count=2)
        again = burnin.poll(pc)
        assert (again.status, again.serial) == (frames.STATUS_IDLE, device.serial)
        # The clock went on from the PC's time that the start set.
        date = list(again.datetime)
        assert date[1:] == [0, 8, 1, 0, 130] and date[0] >= seconds, date
        # /dev/shm holds what the image put there, and nothing of the first run.
        assert (dut.shm / "cfg_ovikburn").read_bytes() == dut.boot_shm["cfg_ovikburn"]
        assert not (dut.shm / "left-by-the-run").exists()
    finally:
        built.stop()


def delivered(sender, receiver, address):
    """How many of FRAMES datagrams sent to address the receiver got."""
    receiver.settimeout(0)
    got = 0
    for n in range(FRAMES):
        sender.sendto(b"%d" % n, address)
        while True:
            try:
                receiver.recv(64)
            except BlockingIOError:
                break
            got += 1
    receiver.settimeout(0.5)
    try:
        while receiver.recv(64):
            got += 1
    except socket.timeout:
        pass
    return got


def test_line_fault_cable_loss(net):
    description = line.load(LINES / "cable-loss.toml")
    reason = line.missing(description)
    if reason:
        pytest.skip(reason)
    built = line.Line(net, description)
    try:
        _, dut, percent = faulty(built, "cable-loss")
        assert not built.wait_announced(burnin.READY_TIMEOUT)
        # Broadcasts, so that no lost ARP frame decides the count.
        pc = net.pc_socket(PC_PORT, broadcast=True)
        device = netns.socket_in(dut.netns)
        net.sockets.append(device)
        device.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        device.bind(("0.0.0.0", DEVICE_PORT))
        kept = 1 - percent / 100
        for sender, receiver, port in ((pc, device, DEVICE_PORT), (device, pc, PC_PORT)):
            got = delivered(sender, receiver, ("192.180.255.255", port))
            assert abs(got / FRAMES - kept) < 0.1, (got, FRAMES)
    finally:
        built.stop()


@pytest.mark.skipif(os.environ.get("OVIK_VM") == "1",
                    reason="needs no driver of the test machine: runs on the host")
def test_line_fault_station_verdicts(station_net):
    description = line.load(LINES / "station-faults.toml")
    reason = line.missing(description)
    if reason:
        pytest.skip(reason)
    out = station_net.dir / "reports"
    # The comparison with the injected faults holds each device to the verdicts it may get.
    assert cli.run_line(station_net, description, out, 8) == 0
    report = {entry["serial"]: entry for entry in json.loads((out / "line.json").read_text())}
    assert report[521]["verdict"] == "failed" and "rebooted" in report[521]["reason"], report[521]
    assert report[522]["verdict"] in line.LOSSY_VERDICTS, report[522]
    assert report[523]["verdict"] == "passed"
