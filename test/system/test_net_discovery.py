"""Peer discovery on eth1 (UDP port 9999) and the LAN2 ping test that uses its result: devices
whose eth1 share a switch of their own (a bridge apart from the PC's) find each other before
their run, or the partner the test plays, then ping it over eth1 in every cycle.

Discovery works with the address eth1 has when the configuration is loaded: either the
device's image gave it one, or "ethernet:TestLAN2" (read before "ethernet:TestLAN2_Ping") made
the agent assign it first."""

import re
import socket
from dataclasses import dataclass

from ovikline import burnin, client, ethernet, netns

DURATION = 4 + burnin.SLOW
# A call without an answer gives up after 10 to 11 s: the run holds at least one of them.
DEAD_DURATION = 13 + burnin.SLOW
# A request every 2 s, five in a series, then 10 s of rest: two series at most.
DISCOVERY_TIMEOUT = 30.0 * burnin.SLOW
FOUND = re.compile(r"found server IP is (\S+), Port is (\d+)\n")
PING_TIMEOUT = "eth1 ping machine timeout fail !\n"
DISCOVERY_PORT = 9999
PARTNER = "192.181.0.1"  # the test's own partner, on the switch


@dataclass
class Device:
    serial: int
    agent_assigns: bool  # "ethernet:TestLAN2" on as well: the agent addresses eth1 first
    segment: str
    dut: object = None
    port: object = None

    @property
    def address(self):
        return ethernet.plan_address(self.serial, "eth1")

    def config(self):
        return burnin.config(extra="[ethernet]\n"
                                   + ("TestLAN2 = y\n" if self.agent_assigns else "")
                                   + "TestLAN2_Ping = y\n")


def handshake_partner(net, segment):
    """The partner's own end on the switch: a socket on port 9999 with the kernel's receive
    stamps."""
    netns.run(["ip", "-n", ethernet.wire_namespace(net), "addr", "add", f"{PARTNER}/16", "dev",
               segment])
    partner = netns.socket_in(ethernet.wire_namespace(net))
    net.sockets.append(partner)
    partner.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    partner.setsockopt(socket.SOL_SOCKET, client.SO_TIMESTAMP, 1)
    partner.bind(("0.0.0.0", DISCOVERY_PORT))
    partner.settimeout(DISCOVERY_TIMEOUT)
    return partner


def test_discovery_pairs_partner_and_ping(station_net):
    net = station_net
    # lan1: a healthy pair. lan2: a pair whose second device's cable is pulled after discovery.
    # lan3: a device alone with the test's partner.
    devices = [Device(3201, False, "lan1"), Device(3202, True, "lan1"),
               Device(3203, False, "lan2"), Device(3204, True, "lan2"),
               Device(3301, True, "lan3")]
    segments = {name: ethernet.Segment(net, name) for name in ("lan1", "lan2", "lan3")}
    partner = handshake_partner(net, "lan3")
    for d in devices:
        d.dut = net.add_dut(bootenv={"serialnumber": f"TB{d.serial}", "mm_flags": "0"},
                            config=d.config())
        d.port = segments[d.segment].attach(d.dut, "eth1")
        if not d.agent_assigns:
            d.port.give_address(d.address)
    for d in devices:
        d.dut.start("-e")

    # The handshake as the partner sees it: "IP_FOUND" broadcast to port 9999 about every 2 s
    # (1 s waiting for an answer, 1 s pause) until an "IP_FOUND_ACK" comes back.
    alone = devices[4]
    requests = []
    while len(requests) < 3:
        data, ancillary, _, source = partner.recvmsg(2048, socket.CMSG_SPACE(client.TIMEVAL.size))
        sec, usec = client.TIMEVAL.unpack(ancillary[0][2][:client.TIMEVAL.size])
        if source[0] == alone.address:
            requests.append((sec + usec / 1e6, data, source))
    assert {data for _, data, _ in requests} == {b"IP_FOUND"}
    gaps = [b[0] - a[0] for a, b in zip(requests, requests[1:])]
    assert all(1.9 <= gap <= 2.5 + burnin.SLOW for gap in gaps), gaps
    partner.sendto(b"IP_FOUND_ACK", requests[-1][2])
    assert alone.dut.wait_console(FOUND, burnin.READY_TIMEOUT)
    # Its responder answers a request, and a stray answer, from the partner's port 9999.
    partner.settimeout(burnin.READY_TIMEOUT)
    for request in (b"IP_FOUND", b"IP_FOUND_ACK"):
        partner.sendto(request, (alone.address, DISCOVERY_PORT))
        while True:
            data, source = partner.recvfrom(2048)
            if source[0] == alone.address and data != b"IP_FOUND":  # not a late request
                break
        assert (data, source) == (b"IP_FOUND_ACK", (alone.address, DISCOVERY_PORT)), request

    # Each found its partner (never itself, never the other pair), answering from port 9999.
    for d in devices[:4]:
        assert d.dut.wait_console(FOUND, DISCOVERY_TIMEOUT), d.serial
    partners = {0: 1, 1: 0, 2: 3, 3: 2}
    for i, d in enumerate(devices):
        console = d.dut.console()
        found = devices[partners[i]].address if i in partners else PARTNER
        assert FOUND.findall(console) == [(found, "9999")], d.serial
        assert f"# eth1 IP:{d.address}\n" in console and "Broadcast get IP" not in console

    healthy, (lonely, unplugged) = devices[:2] + devices[4:], devices[2:4]
    unplugged.port.unplug()
    burns = [burnin.station_burn(net, d.dut, DURATION, index=i) for i, d in enumerate(healthy)]
    burns += [burnin.station_burn(net, d.dut, DEAD_DURATION, index=i + 3)
              for i, d in enumerate((lonely, unplugged))]
    for burn in burns:
        burn.wait()
    for d in devices:
        assert d.dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)

    for d, burn in zip(healthy, burns):
        assert (burn.run.returncode, burn.items()) == (0, {"LAN2": 0}), d.serial
        cycles = burn.record["cycles"]
        assert d.dut.console().count("eth1 test OK.\n") >= cycles >= 2, burn.record
        # The eth1 ping is not one of the counted Wi-Fi pings.
        assert (burn.record["wlan_ping_sent"], burn.record["wlan_ping_recv"]) == (0, 0)
        assert d.dut.error_log() == "", d.serial

    # The cable is pulled: every ping, from either end, waits out its 10 s and fails, on the
    # console only.
    for d, burn in zip((lonely, unplugged), burns[3:]):
        fails = burn.items()["LAN2"]
        assert burn.run.returncode == 1 and fails >= 1, burn.record
        console = d.dut.console()
        assert fails <= console.count(PING_TIMEOUT) <= fails + 1, console
        assert "eth1 test OK." not in console and d.dut.error_log() == "", d.serial
