"""Peer discovery on eth1 (UDP port 9999) and the LAN2 ping test that uses its result: devices
whose eth1 share a switch of their own (a bridge apart from the PC's) find each other before
their run, or the partner the test plays, then ping it over eth1 in every cycle.

Discovery works with the address eth1 has when the configuration is loaded: either the
device's image gave it one, or "ethernet:TestLAN2" (read before "ethernet:TestLAN2_Ping") made
the agent assign it first."""

import re
import socket

import runs
from ovikline import burnin, client, ethernet, netns

# A call without an answer gives up after 10 to 11 s: the run holds at least one of them.
DURATION = 13 + burnin.SLOW
# A request every 2 s, five in a series, then 10 s of rest: two series at most.
DISCOVERY_TIMEOUT = 30.0 * burnin.SLOW
FOUND = re.compile(r"found server IP is (\S+), Port is (\d+)\n")
PING_TIMEOUT = "eth1 ping machine timeout fail !\n"
NO_TARGET = "eth1 cannot resolve the ping target '' !\n"
DISCOVERY_PORT = 9999
PARTNER = "192.181.0.1"  # the test's own partner, on the switch


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
    # (serial, the agent addresses eth1 itself ("ethernet:TestLAN2" on as well), switch)
    # lan1: a healthy pair. lan2: a pair whose second device's cable is pulled after discovery.
    # lan3: a device alone with the test's partner.
    plan = [(3201, False, "lan1"), (3202, True, "lan1"), (3203, False, "lan2"),
            (3204, True, "lan2"), (3301, True, "lan3")]
    segments = {name: ethernet.Segment(net, name) for name in ("lan1", "lan2", "lan3")}
    partner = handshake_partner(net, "lan3")
    duts, ports, addresses = [], [], [ethernet.plan_address(serial, "eth1") for serial, *_ in plan]
    for (serial, assigns, segment), address in zip(plan, addresses):
        duts.append(runs.device(net, serial, "[ethernet]\n" + "TestLAN2 = y\n" * assigns
                                + "TestLAN2_Ping = y\n"))
        ports.append(segments[segment].attach(duts[-1], "eth1"))
        if not assigns:
            ports[-1].give_address(address)
    # Outside a stand-alone burn-in without discovery, "ethernet:TestLAN2" has no partner to
    # ping: every call fails at once.
    lone = runs.device(net, 3302, "[ethernet]\nTestLAN2 = y\n")
    ethernet.add_port(net, lone, "eth1")
    for dut in duts + [lone]:
        dut.start("-e")

    # The handshake as the partner sees it: "IP_FOUND" broadcast to port 9999 about every 2 s
    # (1 s waiting for an answer, 1 s pause) until an "IP_FOUND_ACK" comes back.
    alone = addresses[4]
    requests = []
    while len(requests) < 3:
        data, ancillary, _, source = partner.recvmsg(2048, socket.CMSG_SPACE(client.TIMEVAL.size))
        sec, usec = client.TIMEVAL.unpack(ancillary[0][2][:client.TIMEVAL.size])
        if source[0] == alone:
            requests.append((sec + usec / 1e6, data, source))
    assert {data for _, data, _ in requests} == {b"IP_FOUND"}
    gaps = [b[0] - a[0] for a, b in zip(requests, requests[1:])]
    assert all(1.9 <= gap <= 2.5 + burnin.SLOW for gap in gaps), gaps
    partner.sendto(b"IP_FOUND_ACK", requests[-1][2])
    assert duts[4].wait_console(FOUND, burnin.READY_TIMEOUT)
    # Its responder answers a request, and a stray answer, from the partner's port 9999.
    partner.settimeout(burnin.READY_TIMEOUT)
    for request in (b"IP_FOUND", b"IP_FOUND_ACK"):
        partner.sendto(request, (alone, DISCOVERY_PORT))
        while True:
            data, source = partner.recvfrom(2048)
            if source[0] == alone and data != b"IP_FOUND":  # not a late request of its own
                break
        assert (data, source) == (b"IP_FOUND_ACK", (alone, DISCOVERY_PORT)), request

    # Each found its partner (never itself, never the other pair), answering from port 9999.
    for i, dut in enumerate(duts):
        assert dut.wait_console(FOUND, DISCOVERY_TIMEOUT), dut.name
        found = addresses[i ^ 1] if i < 4 else PARTNER
        assert FOUND.findall(dut.console()) == [(found, "9999")], dut.name
        assert f"# eth1 IP:{addresses[i]}\n" in dut.console(), dut.name
        assert "Broadcast get IP" not in dut.console(), dut.name

    ports[3].unplug()
    burns = runs.burn_all(net, duts + [lone], DURATION)
    fails, console = burns[-1].items()["LAN2"], lone.console()
    assert (burns[-1].run.returncode, lone.error_log()) == (1, "") and fails >= 5, burns[-1].record
    assert fails <= console.count(NO_TARGET) <= fails + 1 and PING_TIMEOUT not in console
    for i, (dut, burn) in enumerate(zip(duts, burns)):
        console = dut.console()
        assert dut.error_log() == "", dut.name
        if i in (2, 3):
            # The cable is pulled: every ping, from either end, waits out its 10 s and fails,
            # on the console only.
            fails = burn.items()["LAN2"]
            assert burn.run.returncode == 1 and fails >= 1, burn.record
            assert fails <= console.count(PING_TIMEOUT) <= fails + 1, console
            assert "eth1 test OK." not in console, dut.name
            continue
        assert (burn.run.returncode, burn.items()) == (0, {"LAN2": 0}), dut.name
        assert console.count("eth1 test OK.\n") >= burn.record["cycles"] >= 2, burn.record
        # The eth1 ping is not one of the counted Wi-Fi pings.
        assert (burn.record["wlan_ping_sent"], burn.record["wlan_ping_recv"]) == (0, 0)
