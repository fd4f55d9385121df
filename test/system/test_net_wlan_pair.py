"""The Wi-Fi pair exchange over eth1 ("wlan:TestWLAN" without "wlan:Detection" and
"info:AloneBurn"), against a partner played by the test: a raw packet socket on the far end of
the device's eth1 that reads the device's pair messages and answers with messages of its own
making, hostile ones included. The device's Wi-Fi tools are stand-ins here (they record; the
link check prints what the test scripts), so this runs without radios; the real radios are in
test_drivers.py."""

import time
from dataclasses import dataclass, field

import runs
from ovikline import burnin, ethernet, frames

MESSAGE_TIMEOUT = burnin.READY_TIMEOUT
# The station waits 5 s before it joins and 5 s after; the exchange gives up after 30 s alone.
SETUP_TIMEOUT = 15.0 * burnin.SLOW
LONELY_TIMEOUT = 30 + 15.0 * burnin.SLOW
GAVE_UP = "Cannot set the WLAN0's SSID or IP!\n"
PARTNER_ADDRESS = b"192.181.9.9"
# Messages no device sends. Each would, if taken, put its text into the network name or the
# partner address (the device with serial 5 would be the station of the bigger number).
HOSTILE = [ethernet.pair_message(b"9;id", PARTNER_ADDRESS),
           ethernet.pair_message(b"9`id`", PARTNER_ADDRESS),
           ethernet.pair_message(b"9$(id", PARTNER_ADDRESS),
           ethernet.pair_message(b"9999", b"1.2.3.4;reboot"),
           ethernet.pair_message(b"9999", b"$(reboot)"),
           ethernet.pair_message(b"9999", PARTNER_ADDRESS, head=b"ABD")]
JOINS = ["iw wlan0 connect burnin1300", "iw wlan0 link"]


@dataclass
class Case:
    serial: int
    partner: bytes = None           # the partner's serial text; None: nobody answers
    hostile: list = field(default_factory=list)
    runt: bytes = None              # a message cut short, sent instead of the partner's own
    link: str = ""                  # what `iw wlan0 link` prints
    exit_status: int = None         # None: the agent goes on to its run
    ssid: str = ""
    channel: str = ""
    commands: list = field(default_factory=list)
    console: list = field(default_factory=list)


CASES = [
    # The access point.
    Case(1234, partner=b"1000", ssid="burnin1234", channel="6",
         commands=["hostapd /dev/shm/hostapd.conf -B"],
         console=["pair ip: 192.181.9.9\n", "self_sn: 1234\npair_sn: 1000\n",
                  "ifup : ifconfig wlan0 172.17.0.101 netmask 255.255.0.0 up\n",
                  "final_sn: 1234\n"]),
    # The station, after hostile messages.
    Case(5, partner=b"1300", hostile=HOSTILE, ssid="burnin1300", channel="2417", commands=JOINS,
         link="Connected to 02:00:00:00:01:00 (on wlan0)\n\tSSID: burnin1300\n\tfreq: 2417\n",
         console=["self_sn: 5\npair_sn: 1300\n", "final_sn: 1300\n",
                  "ifup : ifconfig wlan0 172.17.0.102 netmask 255.255.0.0 up\n"]),
    # A station that did not get a link is not fatal: the run goes on, its pings fail.
    Case(1200, partner=b"1300", ssid="burnin1300", channel="2417", commands=JOINS,
         console=["final_sn: 1300\n"]),
    # Nobody answers: the exchange gives up after 30 s alone, and the agent with it.
    Case(1201, exit_status=255, console=["eth1 wait data coming timeout !\n", GAVE_UP]),
    # A message shorter than 24 bytes ends the exchange, and the agent with it.
    Case(1202, partner=b"1300", runt=b"ABC1300\x00192.181", exit_status=255,
         console=["eth1 receive data length fail !\n", "  got data: ABC1300\n", GAVE_UP]),
]


def converse(case, peer):
    """Plays the partner: waits for the device's message, sends each hostile message and waits
    for the device to send its own again, then answers properly; the device sends its own
    once more for a partner that started later."""
    address = ethernet.plan_address(case.serial, "eth1")
    own = ethernet.pair_message(str(case.serial).encode(), address.encode())
    heard = peer.receive(lambda data: ethernet.pair_payload(data) is not None, MESSAGE_TIMEOUT)
    assert heard is not None and heard[:6] == ethernet.BROADCAST, case.serial
    assert ethernet.pair_payload(heard) == own, heard
    if case.runt is not None:
        return peer.send(case.runt)
    for message in case.hostile + [ethernet.pair_message(case.partner, PARTNER_ADDRESS)]:
        peer.send(message)
        again = peer.receive(lambda data: ethernet.pair_payload(data) is not None,
                             MESSAGE_TIMEOUT)
        assert again is not None and ethernet.pair_payload(again) == own, (case.serial, message)


def check_setup(case, dut):
    """What the exchange left on the device: console lines, commands, /dev/shm files. Only
    whole, well-formed messages count; nothing of the others reaches a command."""
    console = dut.console()
    for text in case.console:
        assert console.count(text) == 1, (case.serial, text)
    # Each hostile message is refused; under load a frame of the kernel's own on the cable may
    # be read (and refused) before the partner's message too.
    assert console.count("payload is not correct!\n") >= len(case.hostile), case.serial
    assert (GAVE_UP in console) == (case.exit_status is not None), case.serial
    lines = dut.command_lines()
    assert [line for line in lines if line.startswith(("iw", "hostapd"))] == case.commands
    assert not any(line.split()[0] in ("reboot", "id") for line in lines), lines
    assert {r["parent"] for r in dut.command_records()
            if r["argv"][0] in ("iw", "hostapd")} <= {"ovikburn"}
    ssid = dut.shm / "wlan0_ssid"
    assert (ssid.read_text() if ssid.exists() else "") == case.ssid, case.serial
    assert not case.channel or (dut.shm / "wlan0_channel").read_text() == case.channel


def test_wlan_pair_exchange_roles_and_hostile_partners(net):
    duts, peers = [], []
    for case in CASES:
        dut = runs.device(net, case.serial, "[wlan]\nTestWLAN = y\n")
        port = ethernet.add_port(net, dut, "eth1")
        port.give_address(ethernet.plan_address(case.serial, "eth1"))
        peers.append(ethernet.RawPeer(net, port))
        if case.link:
            dut.script_output("iw", case.link)
        dut.start("-e")
        duts.append(dut)
    for case, peer in zip(CASES, peers):
        if case.partner is not None:
            converse(case, peer)

    running = [(case, dut) for case, dut in zip(CASES, duts) if case.exit_status is None]
    for case, dut in running:
        assert dut.wait_console("<<Send ALIVE", SETUP_TIMEOUT), case.serial
        check_setup(case, dut)
    assert (duts[0].shm / "hostapd.conf").read_text() == (
        "interface=wlan0\nssid=burnin1234\nchannel=6\ndriver=nl80211\nhw_mode=g\n"
        "ieee80211ac=1\n")

    # Without a radio every Wi-Fi ping fails at once, and each counts as sent; the PC sees the
    # counters grow, and the network name and channel of the pair.
    clients = runs.start_all(net, [dut for _, dut in running])
    time.sleep(3 + burnin.SLOW)
    for (case, dut), pc, stop in zip(running, clients, runs.stop_all(clients)):
        assert stop.status == frames.STATUS_FAIL, case.serial
        seen = runs.reports(pc)
        assert len(seen) >= 2 and seen[-1].wlan_ping_sent >= 2, case.serial
        for report in seen:
            fails = runs.item_fails(report)["WLAN"]
            assert fails <= report.wlan_ping_sent <= fails + 1 and report.wlan_ping_recv == 0
            assert (report.wlan0_ssid, report.wlan0_channel) == (case.ssid, case.channel)
        assert dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
        assert "Cannot assign the opened socket file handle to wlan0 !\n" in dut.console()

    for case, dut in zip(CASES, duts):
        if case.exit_status is not None:
            assert dut.wait_exit(LONELY_TIMEOUT) == case.exit_status, case.serial
            check_setup(case, dut)
