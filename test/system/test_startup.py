"""Production start (-e) and bench start inside simulated devices: the address plan, the
identity in the announcement, and the start-ups the agent refuses."""

from ovikline import burnin, frames
from ovikline.client import RawClient

ANNOUNCE_TIMEOUT = 8.0
EXIT_TIMEOUT = 10.0


def test_startup_production_address_plan(net):
    # (boot-loader serialnumber, numeric serial, eth0 address)
    table = [("TB1234", 1234, "192.180.5.222"),
             ("0253", 253, "192.180.1.0"),
             ("SN0254", 254, "192.180.2.1"),
             ("AB12CD9999", 9999, "192.180.40.132"),
             ("TB12X4", 12, "192.180.1.12")]
    duts = []
    for text, serial, address in table:
        dut = net.add_dut(bootenv={"serialnumber": text, "mm_flags": "0"},
                          config=burnin.config())
        dut.start("-e")
        duts.append((dut, text, serial, address))
    listener = RawClient(net, port=frames.PC_PORT, broadcast=True)
    pending = {address for _, _, address in table}
    seen = {}
    while pending:
        item = listener.receive(ANNOUNCE_TIMEOUT)
        assert item is not None, f"no announcement from {sorted(pending)}"
        if item.frame is not None and item.frame.code == frames.RSP_ALIVE:
            seen[item.source[0]] = (item.source, item.frame)
            pending.discard(item.source[0])
    for dut, text, serial, address in duts:
        source, frame = seen[address]
        assert source[1] == frames.AGENT_PORT
        assert (frame.serial, frame.ip) == (serial, address)
        assert (frame.softwareid, frame.apid) == (0x2B3C, 0x105)
        assert (frame.ser, frame.status, frame.error) == (0, frames.STATUS_IDLE, 0)
        console = dut.console()
        assert f"Serial Number: {text}\n" in console
        assert f"serialnumber = {serial}\n" in console
        assert dut.command_lines()[0] == "fw_printenv"


def test_startup_refusals(net):
    wrong_serial = "Wrong testresult.serial number"
    # (boot-loader environment, configuration, agent options, expected console text)
    table = [({"serialnumber": "TB0000"}, burnin.config(), ("-e",), wrong_serial),
             ({"mm_flags": "0"}, burnin.config(), ("-e",), wrong_serial),
             ({"serialnumber": "TB1234"}, None, ("-e",),
              "cannot parse file: /dev/shm/cfg_ovikburn\n"),
             ({}, None, ("-s", "0", "-i", "192.180.9.9"), wrong_serial),
             ({}, None, ("-s", "abc", "-i", "192.180.9.10"), wrong_serial),
             ({}, None, ("-x",), "Burn test usage:\t")]
    duts = []
    for env, config, args, text in table:
        dut = net.add_dut(bootenv=env, config=config)
        dut.start(*args)
        duts.append((dut, args, text))
    for dut, args, text in duts:
        assert dut.wait_exit(EXIT_TIMEOUT) == 1, f"{dut.name} {args}"
        assert text in dut.console(), f"{dut.name} {args}"
        assert not dut.error_log()


def test_startup_hex_mode_ends_before_later_options(net):
    dut = net.add_dut(bootenv={"serialnumber": "TB1234"}, config=burnin.config())
    dut.start("-T", "4F4B", "-e")
    assert dut.wait_exit(EXIT_TIMEOUT) == 0
    assert dut.console() == "OK\n"
    assert dut.commands() == []
