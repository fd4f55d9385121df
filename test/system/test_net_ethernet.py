"""The raw-frame loop-back test of a device's Ethernet ports eth1 to eth3, in a stand-alone
burn-in: each port sends one frame to itself and must get it back. The ports are veths whose
far ends hold a loop-back plug (tc mirred), a loop-back on a busy segment that sends frames
for somebody else ahead of each returned frame, or nothing at all. A second device puts eth1's
PHY into loop-back (a plug stands in for it) and has no eth3."""

import re

import pytest

import runs
from ovikline import burnin, ethernet

ETH3_TIMEOUT = "[singlelooptestLANbyRAW][2371] : LAN port eth3 wait data coming timeout !\n"
NO_ETH3 = "[singlelooptestLANbyRAW][2265] : LAN port eth3 ioctl SIOCGIFINDEX error !\n"
PHY = "phytool write eth1/0x02/"
GIGA_COMMANDS = [PHY + "0x001f 0x0a43", PHY + "0x0000 0x8000", PHY + "0x0000 0x0140",
                 PHY + "0x0018 0x2d18", "ethtool -s eth3 autoneg off speed 100 duplex full",
                 # the PHY restored at the end of the run
                 PHY + "0x001f 0x0a43", PHY + "0x0018 0x2118", PHY + "0x0000 0x0104",
                 "ethtool -s eth1 autoneg on", "ethtool -r eth1"]
FOREIGN_LINES = ("No correct destination MAC address !\n"
                 f"Error MAC - {ethernet.mac_text(ethernet.FOREIGN_DESTINATION)}\n")


def test_ethernet_loopback_flood_and_dead_port(station_net):
    net = station_net
    dut = runs.device(net, 3001, "AloneBurn = y\n[ethernet]\nTestLAN2 = y\nTestLAN3 = y\n"
                                 "TestLAN4 = y\n")
    giga = runs.device(net, 3002, "[ethernet]\nTestLAN2_GigaLanLB = y\nTestLAN4 = y\n")
    try:
        ethernet.add_port(net, giga, "eth1", plug=ethernet.LOOP)
        ports = {"eth1": ethernet.add_port(net, dut, "eth1", plug=ethernet.LOOP),
                 "eth2": ethernet.add_port(net, dut, "eth2", plug=ethernet.BUSY),
                 "eth3": ethernet.add_port(net, dut, "eth3", plug=ethernet.SILENT)}
    except ethernet.Unsupported as exc:
        pytest.skip(str(exc))
    busy = ports["eth2"].plug
    try:
        dut.start("-e")
        giga.start("-e")
        [burn, giga_burn] = runs.burn_all(net, [dut, giga], 4 + burnin.SLOW)
    finally:
        busy.stop()

    # LAN2 and LAN3 pass and LAN4 fails in every cycle; each failure is one error-log record
    # and one DIE line (a cycle running at the stop may add one after the final record).
    assert (burn.run.returncode, burn.entry["verdict"]) == (1, "failed")
    cycles, items = burn.record["cycles"], burn.items()
    assert cycles >= 2 and list(items) == ["LAN2", "LAN3", "LAN4"], burn.record
    assert items["LAN2"] == items["LAN3"] == 0 and cycles <= items["LAN4"] <= cycles + 1, items
    records = [message for _, message in dut.error_records()]
    assert records == [ETH3_TIMEOUT] * len(records)
    assert items["LAN4"] <= len(records) <= items["LAN4"] + 1
    console = dut.console()
    assert console.count("DIE-" + ETH3_TIMEOUT) == console.count("DIE-") == len(records)
    assert "eth3 test OK." not in console
    for ifname, port in ports.items():
        assert console.count(f"{ifname} test OK.\n") >= cycles or ifname == "eth3", ifname
        assert f"[{ifname}] MAC - {port.mac}\n" in console, ifname
        # The test leaves its port promiscuous.
        assert "PROMISC" in port.flags(), ifname
        assert port.addresses() == [f"{ethernet.plan_address(3001, ifname)}/16"], ifname

    # Foreign frames only ever reach eth2: its test reads past each of them (two per frame it
    # sent) and passes on its own frame. A cycle running at the stop may have sent its frame
    # and read the foreign ones without reaching its verdict.
    passes = console.count("eth2 test OK.\n")
    assert passes <= busy.echoed <= passes + 1
    assert (busy.foreign * passes <= console.count(FOREIGN_LINES)
            <= busy.foreign * busy.echoed), console
    assert console.count("Error MAC - ") == console.count(FOREIGN_LINES)
    port = None
    for line in console.splitlines():
        port = (re.match(r"\[(eth\d)\] MAC - ", line) or [None, port])[1]
        assert port == "eth2" or not line.startswith("No correct destination MAC"), line

    # The link set-up commands ran once each, in the order of the ports, before the run.
    assert link_commands(dut) == [
        "mii-tool -F 100baseTx-FD eth1", "mii-tool -F 100baseTx-FD eth2",
        "ethtool -s eth3 autoneg off speed 100 duplex full"]

    # The PHY loop-back passes; the missing eth3 fails every cycle on its interface index.
    fails = giga_burn.items()
    assert (giga_burn.run.returncode, list(fails), fails["LAN2"]) == (1, ["LAN2", "LAN4"], 0)
    records = [message for _, message in giga.error_records()]
    assert records == [NO_ETH3] * len(records) and 1 <= fails["LAN4"] <= len(records)
    assert giga.console().count("DIE-" + NO_ETH3) == len(records)
    # The PHY commands with their 1 s and 3 s waits, and its restore after the stop.
    assert giga.wait_command(GIGA_COMMANDS[-1], burnin.TEST_THREAD_END_TIMEOUT)
    assert link_commands(giga) == GIGA_COMMANDS
    t = [c["t"] for c in giga.command_records() if c["argv"][0].endswith(("phytool", "ethtool"))]
    assert t[2] - t[1] >= 0.9 and t[4] - t[3] >= 2.9, t


def link_commands(dut):
    return [line for line in dut.command_lines()
            if line.startswith(("mii-tool", "ethtool", "phytool", "/sbin/", "/usr/sbin/"))]
