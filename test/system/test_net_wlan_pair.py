"""The Wi-Fi pair exchange over eth1 ("wlan:TestWLAN" without "wlan:Detection" and
"info:AloneBurn"), against a partner played by the test: a raw packet socket on the far end of
the device's eth1 that reads the device's pair messages and answers with messages of its own
making, hostile ones included. The device's Wi-Fi tools are stand-ins here (they record; the
link check prints what the test scripts), so this runs without radios; the real radios are in
test_net_wlan_radio.py."""

import time
from dataclasses import dataclass, field

import runs
from ovikline import burnin, ethernet, frames

CONFIG = burnin.config(extra="[wlan]\nTestWLAN = y\n")
DURATION = 3 + burnin.SLOW
MESSAGE_TIMEOUT = burnin.READY_TIMEOUT
# The station waits 5 s before it joins and 5 s after; the exchange gives up after 30 s alone.
SETUP_TIMEOUT = 15.0 * burnin.SLOW
LONELY_TIMEOUT = 30 + 15.0 * burnin.SLOW
LINK_UP = "Connected to 02:00:00:00:01:00 (on wlan0)\n\tSSID: burnin1300\n\tfreq: 2417\n"
NOT_CORRECT = "payload is not correct!\n"
GAVE_UP = "Cannot set the WLAN0's SSID or IP!\n"
PARTNER_ADDRESS = b"192.181.9.9"

# Messages no device sends. Each would, if taken, put its text into the network name or the
# partner address (the device with serial 5 would be the station of the bigger number).
HOSTILE = [
    ethernet.pair_message(b"9;id", PARTNER_ADDRESS),
    ethernet.pair_message(b"9`id`", PARTNER_ADDRESS),
    ethernet.pair_message(b"9$(id", PARTNER_ADDRESS),
    ethernet.pair_message(b"9999", b"1.2.3.4;reboot"),
    ethernet.pair_message(b"9999", b"$(reboot)"),
    ethernet.pair_message(b"9999", PARTNER_ADDRESS, head=b"ABD"),
]


@dataclass
class Case:
    name: str
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
    dut: object = None
    port: object = None
    peer: object = None

    @property
    def address(self):
        return ethernet.plan_address(self.serial, "eth1")


CASES = [
    Case("access point", 1234, partner=b"1000", ssid="burnin1234", channel="6",
         commands=["hostapd /dev/shm/hostapd.conf -B"],
         console=["pair ip: 192.181.9.9\n", "self_sn: 1234\npair_sn: 1000\n",
                  "ifup : ifconfig wlan0 172.17.0.101 netmask 255.255.0.0 up\n",
                  "final_sn: 1234\n"]),
    Case("station after hostile messages", 5, partner=b"1300", hostile=HOSTILE, link=LINK_UP,
         ssid="burnin1300", channel="2417",
         commands=["iw wlan0 connect burnin1300", "iw wlan0 link"],
         console=["self_sn: 5\npair_sn: 1300\n",
                  "ifup : ifconfig wlan0 172.17.0.102 netmask 255.255.0.0 up\n",
                  "final_sn: 1300\n"]),
    # A station that did not get a link is not fatal: the run goes on, its pings fail.
    Case("station without a link", 1200, partner=b"1300", ssid="burnin1300", channel="2417",
         commands=["iw wlan0 connect burnin1300", "iw wlan0 link"],
         console=["final_sn: 1300\n"]),
    Case("no partner", 1201, exit_status=255, console=["eth1 wait data coming timeout !\n",
                                                       GAVE_UP]),
    # A message shorter than 24 bytes ends the exchange, and the agent with it.
    Case("message cut short", 1202, partner=b"1300", runt=b"ABC1300\x00192.181", exit_status=255,
         console=["eth1 receive data length fail !\n", "  got data: ABC1300\n", GAVE_UP]),
]


def is_pair_message(data):
    return ethernet.pair_payload(data) is not None


def converse(case):
    """Plays the partner: waits for the device's message, sends each hostile message and waits
    for the device to send its own again, then answers properly."""
    own = ethernet.pair_message(str(case.serial).encode(), case.address.encode())
    heard = case.peer.receive(is_pair_message, MESSAGE_TIMEOUT)
    assert heard is not None, f"{case.name}: no pair message from the device"
    assert ethernet.pair_payload(heard) == own, heard
    assert heard[:6] == ethernet.BROADCAST
    if case.runt is not None:
        case.peer.send(case.runt)
        return
    for message in case.hostile:
        case.peer.send(message)
        again = case.peer.receive(is_pair_message, MESSAGE_TIMEOUT)
        assert again is not None and ethernet.pair_payload(again) == own, (case.name, message)
    case.peer.send(ethernet.pair_message(case.partner, PARTNER_ADDRESS))
    # It sends its message once more for a partner that started later.
    last = case.peer.receive(is_pair_message, MESSAGE_TIMEOUT)
    assert last is not None and ethernet.pair_payload(last) == own, case.name


def check_setup(case):
    """What the exchange left on the device: console lines, commands, /dev/shm files."""
    dut = case.dut
    console = dut.console()
    for text in case.console:
        assert console.count(text) == 1, (case.name, text)
    assert console.count(NOT_CORRECT) == len(case.hostile), case.name
    if case.exit_status is None:
        assert GAVE_UP not in console, case.name
    # Only whole, well-formed messages count; nothing of the others reaches a command.
    records = dut.command_records()
    lines = dut.command_lines()
    wifi = [line for line in lines if line.startswith(("iw", "hostapd"))]
    assert wifi == case.commands, (case.name, lines)
    assert not any(line.split()[0] in ("reboot", "id") for line in lines), lines
    assert {r["parent"] for r in records if r["argv"][0] in ("iw", "hostapd")} <= \
        {"ovikburn"}, records
    if case.ssid:
        assert (dut.shm / "wlan0_ssid").read_text() == case.ssid, case.name
        assert (dut.shm / "wlan0_channel").read_text() == case.channel, case.name
    else:
        assert not (dut.shm / "wlan0_ssid").exists(), case.name


def test_wlan_pair_exchange_roles_and_hostile_partners(net):
    for case in CASES:
        case.dut = net.add_dut(bootenv={"serialnumber": f"TB{case.serial:04d}", "mm_flags": "0"},
                               config=CONFIG)
        case.port = ethernet.add_port(net, case.dut, "eth1")
        case.port.give_address(case.address)
        case.peer = ethernet.RawPeer(net, case.port)
        if case.link:
            case.dut.script_output("iw", case.link)
        case.dut.start("-e")
    for case in CASES:
        if case.partner is not None:
            converse(case)

    running = [case for case in CASES if case.exit_status is None]
    for case in running:
        assert case.dut.wait_console("<<Send ALIVE", SETUP_TIMEOUT), case.name
        check_setup(case)
    ap = CASES[0]
    assert (ap.dut.shm / "hostapd.conf").read_text() == (
        "interface=wlan0\nssid=burnin1234\nchannel=6\ndriver=nl80211\nhw_mode=g\n"
        "ieee80211ac=1\n")

    # Without a radio every Wi-Fi ping fails at once, and each counts as sent; the PC sees the
    # counters grow, and the network name and channel of the pair.
    clients = runs.start_all(net, [case.dut for case in running])
    time.sleep(DURATION)
    stops = runs.stop_all(clients)
    for case, pc, stop in zip(running, clients, stops):
        assert stop.status == frames.STATUS_FAIL, case.name
        seen = runs.reports(pc)
        assert len(seen) >= 2, case.name
        for report in seen:
            fails = runs.item_fails(report)["WLAN"]
            assert fails <= report.wlan_ping_sent <= fails + 1, (case.name, report.describe())
            assert report.wlan_ping_recv == 0, case.name
            assert (report.wlan0_ssid, report.wlan0_channel) == (case.ssid, case.channel)
        assert seen[-1].wlan_ping_sent >= 2, case.name
        assert case.dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)
        assert "Cannot assign the opened socket file handle to wlan0 !\n" in case.dut.console()

    # The exchange gives up after 30 s alone, and the agent with it.
    for case in CASES:
        if case.exit_status is not None:
            assert case.dut.wait_exit(LONELY_TIMEOUT) == case.exit_status, case.name
            check_setup(case)
