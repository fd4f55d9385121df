"""Start-up inside simulated devices: the address plan and the identity in the announcements,
their 3-second interval until a command is answered and again after a reset, agents that an
init system starts without PATH, the start-ups the agent refuses, the usage text and -T."""

import pytest

from ovikline import burnin, frames
from ovikline.client import RawClient
from ovikline.network import PLAIN_PATH

INTERVAL, TOLERANCE = 3.0, 0.5
ANNOUNCE_TIMEOUT = 8.0
EXIT_TIMEOUT = 10.0
# (boot-loader serialnumber, numeric serial, eth0 address, the agent's PATH: None for none);
# the plan's and the serial text's other cases have their unit tests.
PLAN = [("TB1234", 1234, "192.180.5.222", PLAIN_PATH), ("TB12X4", 12, "192.180.1.12", None),
        ("TB0501", 501, "192.180.2.248", "")]


def announcements(listener, address, count, timeout):
    """Arrival times (the kernel's receive stamps) and frames of the next count announcements
    from address."""
    seen = []
    while len(seen) < count:
        item = listener.receive(timeout)
        assert item is not None, f"only {len(seen)} announcements from {address}"
        if item.source[0] == address and item.frame and item.frame.code == frames.RSP_ALIVE:
            seen.append((item.t, item.frame))
    gaps = [b[0] - a[0] for a, b in zip(seen, seen[1:])]
    assert all(abs(gap - INTERVAL) <= TOLERANCE for gap in gaps), gaps
    return [frame for _, frame in seen]


@pytest.mark.xdist_group("timing")
def test_startup_address_plan_and_announcements(net):
    listener = RawClient(net, port=frames.PC_PORT, broadcast=True)
    bench = net.add_dut()
    bench.start("-s", "300", "-i", "192.180.2.46")
    duts = []
    for text, serial, address, path in PLAN:
        dut = net.add_dut(bootenv={"serialnumber": text, "mm_flags": "0"}, config=burnin.config())
        dut.start("-e", path=path)
        duts.append(dut)
    seen = {}
    while not all(address in seen for _, _, address, _ in PLAN):
        item = listener.receive(ANNOUNCE_TIMEOUT)
        assert item is not None, f"announcements only from {sorted(seen)}"
        if item.frame is not None and item.frame.code == frames.RSP_ALIVE:
            seen.setdefault(item.source[0], item)
    for dut, (text, serial, address, _) in zip(duts, PLAN):
        item = seen[address]
        assert item.source[1] == frames.AGENT_PORT
        assert (item.frame.serial, item.frame.ip) == (serial, address)
        assert (item.frame.softwareid, item.frame.apid) == (0x2B3C, 0x105)
        assert (item.frame.ser, item.frame.status, item.frame.error) == (0, frames.STATUS_IDLE, 0)
        console = dut.console()
        assert f"Serial Number: {text}\n" in console and f"serialnumber = {serial}\n" in console
        assert dut.command_lines()[0] == "fw_printenv"

    # A bench start announces every 3 s until a command is answered.
    for frame in announcements(listener, bench.address, 4, INTERVAL + 5.0):
        assert (frame.ser, frame.status, frame.serial, frame.ip) == \
            (0, frames.STATUS_IDLE, 300, "192.180.2.46")
    assert bench.wait_console("<<Send ALIVE message to PC to want to start burning. [512]\n",
                              1.0, count=4)
    pc = RawClient(net, bench.address)
    burnin.poll(pc)
    burnin.answer(pc, frames.CMD_QUERY, 0x8002, ser=0)
    listener.drain()
    assert listener.collect(INTERVAL + 1.5, lambda f: f.code == frames.RSP_ALIVE and
                            f.ip == bench.address) == [], "announcements after an answer"
    # A reset has no answer; the announcements start again, the sequence number back at 0.
    pc.command(frames.CMD_RESET, ser=1)
    assert pc.collect(0.5) == []
    assert bench.wait_console(">>Receive reset command from PC.\n", 1.0)
    for frame in announcements(listener, bench.address, 2, INTERVAL + TOLERANCE):
        assert (frame.ser, frame.status) == (0, frames.STATUS_IDLE)
    ack = pc.exchange(frames.CMD_POLLING)
    assert ack is not None and (ack.code, ack.ser) == (0x8001, 0)

    # Without PATH, or with an empty one, the agent still finds the image's tools.
    for dut in duts[-2:]:
        pc = RawClient(net, dut.address)
        burnin.start_run(pc)
        assert burnin.stop_run(pc).status == frames.STATUS_OK
        assert dut.wait_command("/bin/PassLED.sh", 5.0 * burnin.SLOW)
        assert "fw_setenv mm_flags 64" in dut.command_lines()


def usage(program):
    rule = "=" * 63 + "\n"
    options = ("-s : product S/N on DUT (255 - 255*255)", "-i : IPv4 address on eth0",
               "-c : configuration loads from ini configuration file", "-n : No remote test",
               "-T : Hex to ASCII", "-h : help usage")
    return (f"{rule}ovikburn builddate:\t20240116134911\n{rule}Burn test usage:\t{program} -e\n"
            f"{rule}{'Debug usage : ovikburn  <-p SN>  <-i IP_addr> [OPTION...]':<63}\n"
            + "".join(f"\t{line:<61}\n" for line in options) + " " * 63 + "\n")


def test_startup_refusals_usage_and_hex_mode(net):
    wrong_serial = "Wrong testresult.serial number"
    config, bench = burnin.config(), {"serialnumber": "TB1234"}
    # (boot-loader environment or None: no fw_printenv, its output of an earlier boot left;
    # configuration, agent options, exit status, console: its start, or all of it with exact)
    table = [({"serialnumber": "TB0000"}, config, ("-e",), 1, wrong_serial),
             (None, config, ("-e",), 1, wrong_serial),
             ({"mm_flags": "0"}, config, ("-e",), 1, wrong_serial),
             (bench, None, ("-e",), 1, "cannot parse file: /dev/shm/cfg_ovikburn\n"),
             ({}, None, ("-s", "0", "-i", "192.180.9.9"), 1, wrong_serial),
             ({}, None, ("-s", "abc", "-i", "192.180.9.10"), 1, wrong_serial),
             ({}, None, ("-x",), 1, "Burn test usage:\t"),
             ({}, None, (), 1, usage), ({}, None, ("-h",), 1, usage),
             ({}, None, ("-q", "-h"), 1, usage),
             # -T ends the agent before the options after it: nothing else runs.
             (bench, config, ("-T", "4F4B", "-e"), 0, "OK\n"),
             ({}, None, ("-T", "48656C6C6F"), 0, "Hello\n"),
             ({}, None, ("-T", "41424"), 0, "AB\n"),  # a last unpaired digit is ignored
             ({}, None, ("-T", "7E30"), 0, "~0\n"), ({}, None, ("-T", ""), 0, "\n"),
             ({}, None, ("-q", "-T", "41"), 0, "")]  # quiet before -T: nothing at all
    duts = []
    for env, config, args, _, _ in table:
        dut = net.add_dut(bootenv=env, config=config,
                          shm={"temp.txt": "serialnumber=TB0042\n"} if env is None else None)
        if env is None:
            dut.remove_tools("fw_printenv")
        dut.start(*args)
        duts.append(dut)
    for dut, (_, _, args, status, text) in zip(duts, table):
        assert dut.wait_exit(EXIT_TIMEOUT) == status, args
        if callable(text):
            assert dut.console() == text(dut.agent_argv[0]), args
        else:
            assert (dut.console() == text) if status == 0 else (text in dut.console()), args
        assert not dut.error_log(), args
        assert status == 1 or dut.commands() == [], args
