"""Peer discovery on eth1 (UDP port 9999) and the LAN2 ping test that uses its result: devices
whose eth1 share a switch of their own (a bridge apart from the PC's) find each other before
their run, then ping each other over eth1 in every cycle.

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


def test_discovery_pairs_find_each_other_and_ping(station_net):
    net = station_net
    # lan1: a healthy pair. lan2: a pair whose second device's cable is pulled after discovery.
    devices = [Device(3201, False, "lan1"), Device(3202, True, "lan1"),
               Device(3203, False, "lan2"), Device(3204, True, "lan2")]
    segments = {name: ethernet.Segment(net, name) for name in ("lan1", "lan2")}
    for d in devices:
        d.dut = net.add_dut(bootenv={"serialnumber": f"TB{d.serial}", "mm_flags": "0"},
                            config=d.config())
        d.port = segments[d.segment].attach(d.dut, "eth1")
        if not d.agent_assigns:
            d.port.give_address(d.address)
    for d in devices:
        d.dut.start("-e")
    for d in devices:
        assert d.dut.wait_console(FOUND, DISCOVERY_TIMEOUT), d.serial

    # Each found its partner (never itself, never the other pair), answering from port 9999.
    partners = {0: 1, 1: 0, 2: 3, 3: 2}
    for i, d in enumerate(devices):
        console = d.dut.console()
        assert FOUND.findall(console) == [(devices[partners[i]].address, "9999")], d.serial
        assert f"# eth1 IP:{d.address}\n" in console, d.serial
        assert "Broadcast get IP" not in console, d.serial

    healthy, (lonely, unplugged) = devices[:2], devices[2:]
    unplugged.port.unplug()
    burns = [burnin.station_burn(net, d.dut, DURATION, index=i) for i, d in enumerate(healthy)]
    burns += [burnin.station_burn(net, d.dut, DEAD_DURATION, index=i + 2)
              for i, d in enumerate((lonely, unplugged))]
    for burn in burns:
        burn.wait()
    for d in devices:
        assert d.dut.wait_console("Exit from test_main", burnin.TEST_THREAD_END_TIMEOUT)

    for d, burn in zip(healthy, burns):
        assert burn.run.returncode == 0, d.serial
        assert burn.items() == {"LAN2": 0}, d.serial
        cycles = burn.record["cycles"]
        assert cycles >= 2, burn.record
        assert d.dut.console().count("eth1 test OK.\n") >= cycles, d.serial
        # The eth1 ping is not one of the counted Wi-Fi pings.
        assert (burn.record["wlan_ping_sent"], burn.record["wlan_ping_recv"]) == (0, 0)
        assert d.dut.error_log() == "", d.serial

    # The cable is pulled: every ping, from either end, waits out its 10 s and fails, on the
    # console only.
    for d, burn in zip((lonely, unplugged), burns[2:]):
        assert burn.run.returncode == 1, d.serial
        fails = burn.items()["LAN2"]
        assert fails >= 1, burn.record
        console = d.dut.console()
        assert fails <= console.count(PING_TIMEOUT) <= fails + 1, console
        assert "eth1 test OK." not in console, d.serial
        assert d.dut.error_log() == "", d.serial


def test_discovery_handshake_on_the_wire(station_net):
    """The handshake as the partner sees it: "IP_FOUND" broadcast to port 9999 every 2 s until
    an "IP_FOUND_ACK" comes back; the device's own responder answers requests from anybody
    else, "IP_FOUND_ACK" included, and the last requester is the one it pings."""
    net = station_net
    lan = ethernet.Segment(net, "lan1")
    netns.run(["ip", "-n", ethernet.wire_namespace(net), "addr", "add", f"{PARTNER}/16", "dev",
               "lan1"])
    partner = netns.socket_in(ethernet.wire_namespace(net))
    net.sockets.append(partner)
    partner.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    partner.bind(("0.0.0.0", DISCOVERY_PORT))
    device = Device(3301, True, "lan1")
    device.dut = net.add_dut(bootenv={"serialnumber": f"TB{device.serial}", "mm_flags": "0"},
                             config=device.config())
    lan.attach(device.dut, "eth1")
    device.dut.start("-e")

    # Unanswered requests come about 2 s apart (1 s waiting for an answer, 1 s pause), by the
    # kernel's receive stamps.
    partner.setsockopt(socket.SOL_SOCKET, client.SO_TIMESTAMP, 1)
    partner.settimeout(DISCOVERY_TIMEOUT)
    requests = []
    while len(requests) < 3:
        data, ancillary, _, source = partner.recvmsg(2048, socket.CMSG_SPACE(client.TIMEVAL.size))
        sec, usec = client.TIMEVAL.unpack(ancillary[0][2][:client.TIMEVAL.size])
        requests.append((sec + usec / 1e6, data, source))
    assert {(data, source[0]) for _, data, source in requests} == \
        {(b"IP_FOUND", device.address)}
    gaps = [b[0] - a[0] for a, b in zip(requests, requests[1:])]
    assert all(1.9 <= gap <= 2.5 + burnin.SLOW for gap in gaps), gaps
    partner.sendto(b"IP_FOUND_ACK", requests[-1][2])
    assert device.dut.wait_console(FOUND, burnin.READY_TIMEOUT)
    assert FOUND.findall(device.dut.console()) == [(PARTNER, str(DISCOVERY_PORT))]

    # Its responder answers a request, and a stray answer, from the partner's port 9999.
    for request in (b"IP_FOUND", b"IP_FOUND_ACK"):
        partner.sendto(request, (device.address, DISCOVERY_PORT))
        partner.settimeout(burnin.READY_TIMEOUT)
        while True:
            data, source = partner.recvfrom(2048)
            if data != b"IP_FOUND":  # a late request of its own
                break
        assert (data, source) == (b"IP_FOUND_ACK", (device.address, DISCOVERY_PORT)), request

    burn = burnin.station_burn(net, device.dut, DURATION).wait()
    assert burn.run.returncode == 0
    assert burn.items() == {"LAN2": 0}
    assert device.dut.console().count("eth1 test OK.\n") >= burn.record["cycles"] >= 2
