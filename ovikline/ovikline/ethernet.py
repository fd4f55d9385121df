"""The wired ports of a simulated device besides eth0, and what is plugged into them.

Each port is a veth whose device end (eth1, eth2, ...) lives in the device's namespace and
whose far end lives in the network's wire namespace (PREFIX-wire), named DUT-PORT:

    ethernet.add_port(net, dut, "eth1", plug=ethernet.LOOP)   # a loop-back plug
    ethernet.add_port(net, dut, "eth3")                       # a cable to nowhere
    lan = ethernet.Segment(net, "lan1")                       # a switch between devices
    lan.attach(dut_a, "eth1"); lan.attach(dut_b, "eth1")
    ethernet.add_port(net, dut, "eth2", plug=ethernet.BUSY)   # loop-back behind foreign frames
    peer = ethernet.RawPeer(net, port)   # raw frames to and from the port's far end

A loop-back plug is a tc ingress filter on the far end that sends every frame straight back
(u32 match-all, mirred redirect). IPv6 is off on every link made here, so the only frames on a
port are the ones the agent and the test send. Everything lives in the network's namespaces
and goes with them.
"""

import json
import socket
import struct

from . import netns
from .network import eth0_address

WIRE = "wire"          # the namespace of far ends, plugs and segments: PREFIX-wire
LOOP = "loop"
BUSY = "busy"
SILENT = "silent"
ETH_P_ALL = 0x0003
BROADCAST = b"\xff" * 6
# Foreign traffic: a unicast frame for a locally administered address nobody has.
FOREIGN_DESTINATION = bytes.fromhex("02f0f0f0f001")
FOREIGN_SOURCE = bytes.fromhex("02f0f0f0f002")
FOREIGN_TYPE = 0x88B5  # IEEE 802 local experimental EtherType
PAIR_MESSAGE_SIZE = 24


class Unsupported(RuntimeError):
    """The kernel lacks something a plug needs; the text says what."""


def wire_namespace(net):
    return net.namespace(WIRE)


def mac_text(raw):
    return ":".join(f"{b:02x}" for b in raw)


def _ipv6_off(ns, ifname):
    netns.run(["ip", "netns", "exec", ns, "sysctl", "-qw",
               f"net.ipv6.conf.{ifname}.disable_ipv6=1"])


def plan_address(serial, ifname):
    """The address the agent gives its port ifname (eth1 to eth3) for a serial number."""
    octets = eth0_address(serial).split(".")
    octets[1] = str(180 + int(ifname[3:]))
    return ".".join(octets)


def link_info(ns, ifname):
    """`ip -j link show` of one interface: flags, address, operstate, ..."""
    out = netns.run(["ip", "-n", ns, "-j", "link", "show", "dev", ifname]).stdout
    return json.loads(out)[0]


class Port:
    """One device port: ifname in the device's namespace, far in the wire namespace."""

    def __init__(self, dut, ifname, wire, far):
        self.dut = dut
        self.ifname = ifname
        self.wire = wire
        self.far = far
        self.plug = None  # a BusyPlug, when one serves the port

    @property
    def mac(self):
        return link_info(self.dut.netns, self.ifname)["address"]

    def flags(self):
        return link_info(self.dut.netns, self.ifname)["flags"]

    def addresses(self):
        """The device port's IPv4 addresses, as ADDRESS/PREFIX."""
        out = netns.run(["ip", "-n", self.dut.netns, "-4", "-j", "addr", "show", "dev",
                         self.ifname]).stdout
        return [f"{a['local']}/{a['prefixlen']}" for link in json.loads(out)
                for a in link.get("addr_info", [])]

    def give_address(self, address, prefix=16):
        """The address the device's image gives the port before the agent starts."""
        netns.run(["ip", "-n", self.dut.netns, "addr", "add", f"{address}/{prefix}", "dev",
                   self.ifname])

    def unplug(self):
        """Pulls the cable at the far end: the device's port loses its carrier."""
        netns.run(["ip", "-n", self.wire, "link", "set", self.far, "down"])


def add_port(net, dut, ifname, plug=SILENT, segment=None, up=True):
    """Gives dut the port ifname, its cable ending in the wire namespace. plug says what is on
    the far end (LOOP: a loop-back plug; BUSY: a BusyPlug; SILENT: nothing); segment is a
    Segment whose switch the cable goes to instead. up: the device's image has brought the port
    up (without an address) before the agent starts."""
    wire = wire_namespace(net)
    far = f"{dut.name}-{ifname}"
    # Made from inside the wire namespace: neither end ever exists in the harness's.
    netns.run(["ip", "-n", wire, "link", "add", far, "type", "veth",
               "peer", "name", ifname, "netns", dut.netns])
    _ipv6_off(wire, far)
    _ipv6_off(dut.netns, ifname)
    if segment is not None:
        netns.run(["ip", "-n", wire, "link", "set", far, "master", segment.bridge])
    netns.run(["ip", "-n", wire, "link", "set", far, "up"])
    if up:
        netns.run(["ip", "-n", dut.netns, "link", "set", ifname, "up"])
    port = Port(dut, ifname, wire, far)
    if plug == LOOP:
        loop_back(wire, far)
    elif plug == BUSY:
        port.plug = BusyPlug(net, port)
    elif plug != SILENT:
        raise ValueError(f"unknown plug {plug!r}")
    return port


def loop_back(ns, ifname):
    """Every frame that arrives at ifname leaves it again at once, unchanged."""
    steps = [["tc", "-n", ns, "qdisc", "add", "dev", ifname, "ingress"],
             ["tc", "-n", ns, "filter", "add", "dev", ifname, "parent", "ffff:", "protocol",
              "all", "u32", "match", "u32", "0", "0",
              "action", "mirred", "egress", "redirect", "dev", ifname]]
    for argv in steps:
        done = netns.run(argv, check=False)
        if done.returncode != 0:
            raise Unsupported(f"no loop-back plug (tc ingress, u32, mirred): {' '.join(argv)}: "
                              f"{done.stderr.strip()}")


class Segment:
    """A switch (bridge) in the wire namespace that device ports can be attached to."""

    def __init__(self, net, bridge):
        self.net = net
        self.bridge = bridge
        wire = wire_namespace(net)
        netns.run(["ip", "-n", wire, "link", "add", bridge, "type", "bridge"])
        _ipv6_off(wire, bridge)
        netns.run(["ip", "-n", wire, "link", "set", bridge, "up"])

    def attach(self, dut, ifname, up=True):
        return add_port(self.net, dut, ifname, segment=self, up=up)


def packet_socket(net, ns, ifname):
    """A raw packet socket on ifname in namespace ns, for all protocols; closed with net."""
    sock = netns.socket_in(ns, socket.SOCK_RAW, family=socket.AF_PACKET,
                           proto=socket.htons(ETH_P_ALL))
    net.sockets.append(sock)
    sock.bind((ifname, ETH_P_ALL))
    return sock


def frame(destination, source, ethertype, payload):
    return destination + source + struct.pack(">H", ethertype) + payload


class BusyPlug(netns.SocketResponder):
    """A loop-back plug on a busy segment: every frame that arrives from the device goes back
    to it, but only after `foreign` frames for somebody else (a software plug in a thread of
    the test, so the foreign frames surely reach the device while it waits for its own)."""

    def __init__(self, net, port, foreign=2):
        self.foreign = foreign
        self.echoed = 0
        self._foreign = frame(FOREIGN_DESTINATION, FOREIGN_SOURCE, FOREIGN_TYPE, bytes(46))
        super().__init__(packet_socket(net, port.wire, port.far), f"busy-{port.far}")

    def answer(self, data, address):
        if address[2] == socket.PACKET_OUTGOING:
            return  # our own frames
        for _ in range(self.foreign):
            self.sock.send(self._foreign)
        self.sock.send(data)
        self.echoed += 1


class RawPeer:
    """The other end of a device's port, frame by frame: what the device sends there, and
    frames of our own making into it."""

    def __init__(self, net, port):
        self.port = port
        self.sock = packet_socket(net, port.wire, port.far)
        self.mac = bytes.fromhex(link_info(port.wire, port.far)["address"].replace(":", ""))

    def send(self, payload, destination=BROADCAST, ethertype=ETH_P_ALL):
        self.sock.send(frame(destination, self.mac, ethertype, payload))

    def receive(self, match, timeout):
        """The first frame from the device (headers included) for which match(frame) holds
        within timeout seconds, or None; the frames before it are dropped."""
        return netns.wait_for(lambda: self._read(match), timeout, interval=0)

    def _read(self, match):
        self.sock.settimeout(0.05)
        try:
            data, address = self.sock.recvfrom(2048)
        except (socket.timeout, BlockingIOError):
            return None
        if address[2] == socket.PACKET_OUTGOING:
            return None  # our own
        return data if match(data) else None


def pair_message(serial=b"", address=b"", head=b"ABC"):
    """A Wi-Fi pair message: head, the serial text at offset 3 (up to offset 8), the address
    text at offset 8, zero-filled to 24 bytes. Texts are bytes, taken as they are, so a test
    can also make messages no device would send."""
    msg = bytearray(PAIR_MESSAGE_SIZE)
    body = head + serial
    msg[:min(len(body), 8)] = body[:8]
    msg[8:8 + min(len(address), 16)] = address[:16]
    return bytes(msg)


def pair_payload(data):
    """The 24 payload bytes of a pair-message frame (type field 0x0003), or None."""
    if len(data) < 14 + PAIR_MESSAGE_SIZE or struct.unpack_from(">H", data, 12)[0] != ETH_P_ALL:
        return None
    return data[14:14 + PAIR_MESSAGE_SIZE]
