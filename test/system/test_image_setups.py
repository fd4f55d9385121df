"""Set-ups of real device images: LED and upgrade scripts without an interpreter line, and an
agent that an init system starts without PATH."""

from ovikline import burnin, frames
from ovikline.client import RawClient

UPGRADE = "/usr/sbin/mp_upgrade.sh"
QUICK_UPGRADE = [f"tftp: block {n}" for n in range(1, 101)]  # the progress at 95 at once
DOWNLOAD_TIMEOUT = 25.0
ANNOUNCE_TIMEOUT = 8.0
VERDICT_TIMEOUT = 5.0 * burnin.SLOW


def test_image_scripts_without_interpreter_line(net):
    dut = net.add_dut(bootenv={"serialnumber": "TB0401", "mm_flags": "0"},
                      config=burnin.config(download=True),
                      upgrade={"lines": QUICK_UPGRADE})
    dut.drop_interpreter_lines("PassLED.sh", "mp_upgrade.sh")
    dut.start("-e")
    pc = RawClient(net, dut.address)
    name = "fw 1.2;id"
    _, _, reports = burnin.run_to_download(pc, name, DOWNLOAD_TIMEOUT)
    assert (reports[-1].code, reports[-1].status) == (0x8006, frames.STATUS_DOWNLOAD_OK)
    assert [argv for argv in dut.commands() if argv[0] == UPGRADE] == [
        [UPGRADE, "firmware", name, "tftp"]]
    assert dut.wait_command("/bin/PassLED.sh", VERDICT_TIMEOUT)


def test_image_agent_without_path(net):
    # (set-up, the agent's PATH: None for none at all, serial number)
    table = [("no PATH", None, 501), ("empty PATH", "", 502)]
    duts = []
    for setup, path, serial in table:
        dut = net.add_dut(bootenv={"serialnumber": f"TB{serial:04d}", "mm_flags": "0"},
                          config=burnin.config())
        dut.start("-e", path=path)
        duts.append((dut, setup, serial))
    # An announcement from its own address: ifconfig gave eth0 the address of the serial
    # number that fw_printenv read.
    listener = RawClient(net, port=frames.PC_PORT, broadcast=True)
    serials = {}
    while not all(dut.address in serials for dut, _, _ in duts):
        item = listener.receive(ANNOUNCE_TIMEOUT)
        assert item is not None, f"announcements only from {sorted(serials)}"
        if item.frame is not None and item.frame.code == frames.RSP_ALIVE:
            serials[item.source[0]] = item.frame.serial
    for dut, setup, serial in duts:
        assert serials[dut.address] == serial, setup
        pc = RawClient(net, dut.address)
        burnin.start_run(pc)
        assert burnin.stop_run(pc).status == frames.STATUS_OK, setup
        assert dut.wait_command("/bin/PassLED.sh", VERDICT_TIMEOUT), setup
        lines = dut.command_lines()
        assert lines[0] == "fw_printenv" and "fw_setenv mm_flags 64" in lines, (setup, lines)
